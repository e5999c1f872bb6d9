// SPDX-License-Identifier: MIT
// Compares fieldHash with the 32-bit GNU C++ library's std::hash<std::string>,
// computed by a probe built with the i686 cross compiler.
#include "toolRunner.hpp"
#include <initHashData/fieldHash.hpp>

#include <gtest/gtest.h>

#include <random>
#include <sstream>

namespace initHashData::testing {
namespace {

// Every single byte, then pseudo-random strings of 0 to 300 bytes.
std::vector<std::string> hashSamples()
{
    std::vector<std::string> samples;
    samples.reserve(10000);
    for (int byte = 0; byte < 256; ++byte) {
        samples.emplace_back(1, static_cast<char>(byte));
    }
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> anyByte(0, 255);
    while (samples.size() < 10000) {
        std::string sample(samples.size() % 301, '\0');
        for (char& c : sample) {
            c = static_cast<char>(anyByte(random));
        }
        samples.push_back(std::move(sample));
    }
    return samples;
}

TEST(FieldHash, AgreesWithThe32BitStdHash)
{
    const std::string probe = STD_HASH_PROBE;
    if (probe.empty()) {
        GTEST_SKIP() << "i686-linux-gnu-g++ is not installed, so the 32-bit library cannot be asked";
    }
    const std::vector<std::string> samples = hashSamples();
    std::string frames;
    for (const std::string& sample : samples) {
        for (int shift = 0; shift < 32; shift += 8) {
            frames += static_cast<char>((sample.size() >> shift) & 0xffU);
        }
        frames += sample;
    }

    RunOptions options;
    options.workDir = "/";
    options.standardInput = frames;
    options.tool = std::vector<std::string>{probe};
    RunResult result = runTool(options);
    if (const std::string emulator = I386_EMULATOR; result.exitStatus != 0 && !emulator.empty()) {
        std::printf("the probe did not run natively (%s); running it under %s\n", result.standardError.c_str(),
                    emulator.c_str());
        options.tool = std::vector<std::string>{emulator, probe};
        result = runTool(options);
    }
    ASSERT_EQ(result.exitStatus, 0) << result.standardError;

    std::istringstream lines(result.standardOutput);
    std::size_t compared = 0;
    for (std::string expected; std::getline(lines, expected) && compared < samples.size(); ++compared) {
        const std::string& sample = samples[compared];
        ASSERT_EQ(renderHash(fieldHash(sample)).view(), expected)
            << "sample " << compared << " of " << sample.size() << " bytes";
    }
    EXPECT_EQ(compared, samples.size());
    std::printf("compared %zu strings with the 32-bit std::hash\n", compared);
}

} // namespace
} // namespace initHashData::testing
