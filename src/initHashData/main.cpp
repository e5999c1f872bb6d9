// SPDX-License-Identifier: MIT
#include "initHashData/commandLine.hpp"
#include "initHashData/conversionRun.hpp"
#include "initHashData/runEnd.hpp"

// The input name comes from standard input; arguments other than a lone
// --help, --version or --check are ignored, with a warning.
int main(int argc, char** argv)
{
    initHashData::prepareRun();
    if (const auto status = initHashData::answerOption(argc, argv)) {
        return *status;
    }
    const bool check = initHashData::isLoneCheck(argc, argv);
    if (!check) {
        initHashData::warnIgnoredArguments(argc, argv);
    }
    initHashData::promptOnTerminal();
    return check ? initHashData::runCheck() : initHashData::runConversion();
}
