#include "framework.h"

#include <gtest/gtest.h>

#include <string>

TEST(MemFile, AppendTakeAndClearAcrossGrowSteps)
{
    CMemFile file(16);
    std::string expected;
    for (int i = 0; i < 40; ++i)
    {
        const std::string piece = "piece " + std::to_string(i) + ";";
        file.SeekToEnd();
        ASSERT_TRUE(file.Write(piece.data(), static_cast<UINT>(piece.size())));
        expected += piece;
    }
    ASSERT_EQ(file.GetLength(), expected.size());
    file.SeekToBegin();
    std::string read(expected.size() + 10, '\0');
    EXPECT_EQ(file.Read(&read[0], static_cast<UINT>(read.size())), expected.size());
    read.resize(expected.size());
    EXPECT_EQ(read, expected);

    ASSERT_TRUE(file.SetLength(0));
    EXPECT_EQ(file.GetLength(), 0u);
    file.SeekToEnd();
    ASSERT_TRUE(file.Write("x", 1));
    file.SeekToBegin();
    char c = 0;
    EXPECT_EQ(file.Read(&c, 1), 1u);
    EXPECT_EQ(c, 'x');
}
