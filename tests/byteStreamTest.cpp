// SPDX-License-Identifier: MIT
#include "fileIo/byteStream.hpp"
#include "fileIo/failure.hpp"
#include "fileIo/uniqueFd.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace initHashData {
namespace {

TEST(ByteStream, ReadAndWriteFailuresAreThrown)
{
    const UniqueFd directory(::open(".", O_RDONLY | O_DIRECTORY));
    ByteReader reader(directory.get(), "dir");
    try {
        (void)reader.refill();
        ADD_FAILURE() << "reading a directory succeeded";
    } catch (const Failure& failure) {
        EXPECT_STREQ(failure.what(), "cannot read 'dir': Is a directory");
    }

    const UniqueFd readOnly(::open("/dev/null", O_RDONLY));
    ByteWriter writer(readOnly.get(), "out", 4);
    writer.append("abc");
    EXPECT_THROW(writer.append("defgh"), Failure);
}

TEST(ByteStream, WriterWritesWholeBlocksUntilTheLastFlush)
{
    // A datagram socket keeps the boundary of every write.
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    const UniqueFd sender(ends[0]);
    const UniqueFd receiver(ends[1]);
    std::string expected;
    {
        ByteWriter writer(sender.get(), "socket", 64);
        for (int i = 0; i < 40; ++i) {
            const std::string piece(static_cast<std::size_t>(i * 7 % 150), static_cast<char>('a' + i % 26));
            expected += piece;
            if (i % 2 == 0) {
                writer.append(piece);
            } else {
                char* to = writer.cursor();
                ASSERT_LE(piece.size(), static_cast<std::size_t>(writer.roomEnd() - to));
                writer.handBack(std::copy(piece.begin(), piece.end(), to));
            }
        }
        writer.flush();
    }
    ::shutdown(sender.get(), SHUT_WR);
    std::string received;
    std::vector<std::size_t> sizes;
    char message[4096];
    for (ssize_t got; (got = ::recv(receiver.get(), message, sizeof message, 0)) > 0;) {
        received.append(message, static_cast<std::size_t>(got));
        sizes.push_back(static_cast<std::size_t>(got));
    }
    EXPECT_EQ(received, expected);
    ASSERT_FALSE(sizes.empty());
    sizes.pop_back();
    for (const std::size_t size : sizes) {
        EXPECT_EQ(size % 64, 0U) << "a write left the block grid, so the next starts mid-page";
    }
}

} // namespace
} // namespace initHashData
