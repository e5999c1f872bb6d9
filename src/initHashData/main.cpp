#include "fileIo/byteStream.hpp"
#include "initHashData/conversionRun.hpp"

// Arguments are ignored: the input name comes from standard input.
int main() { return initHashData::runConversion(initHashData::defaultBlockSize); }
