#include "armbranch.h"

#include <gtest/gtest.h>

#include <random>

using namespace corvapatch;

TEST(ArmBranch, KnownAnswers)
{
    const struct
    {
        const char *name;
        int form;
        uint32_t op;
        uint32_t rva;
        uint16_t compressed;
        uint32_t target;
    } cases[] = {
        {"Thumb beq to itself", ARM_THUMB_B8, 0xD0FE, 0x1000, 0x10D0, 0},
        {"Thumb bne +0x10", ARM_THUMB_B8, 0xD106, 0x1000, 0x10D1, 0x10},
        {"Thumb b to itself", ARM_THUMB_B11, 0xE7FE, 0x1000, 0x201C, 0},
        {"ARM b to itself", ARM_B24, 0xEAFFFFFE, 0x1000, 0x30EA, 0},
        {"ARM bl +0x48", ARM_B24, 0xEB000010, 0x1000, 0x30EB, 0x48},
        {"Thumb-2 bl +0x1004", ARM_THUMB2_BL25, 0xF001F800, 0x1000, 0x44F7, 0x1004},
        {"Thumb-2 bl back 4: -4 + 4", ARM_THUMB2_BL25, 0xF7FFFFFE, 0x1000, 0x44F7, 0},
        {"Thumb-2 blx from a word boundary", ARM_THUMB2_BL25, 0xF000E800, 0x1000, 0x44F6, 4},
        {"Thumb-2 blx from a halfword boundary", ARM_THUMB2_BL25, 0xF000E800, 0x1002, 0x42F6, 2},
        {"Thumb-2 beq.w +0x104", ARM_THUMB2_BCOND21, 0xF0008080, 0x1000, 0x5000, 0x104},
        {"Thumb-2 bne.w back 0x100", ARM_THUMB2_BCOND21, 0xF47FAF80, 0x1000, 0x5001, 0xFFFFFF04},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        uint16_t compressed = 0;
        uint32_t target = 0;
        ASSERT_TRUE(CompressArmBranch(c.form, c.op, c.rva, &compressed, &target));
        EXPECT_EQ(compressed, c.compressed);
        EXPECT_EQ(target, c.target);
        uint32_t op = 0;
        ASSERT_TRUE(DecompressArmBranch(c.form, compressed, target, &op));
        EXPECT_EQ(op, c.op);
    }
}

TEST(ArmBranch, SixteenBitFormsComeBackExactly)
{
    for (uint32_t op = 0; op <= 0xFFFF; ++op) {
        int form = -1;
        if ((op & 0xF000) == 0xD000)
            form = ARM_THUMB_B8;
        else if ((op & 0xF800) == 0xE000)
            form = ARM_THUMB_B11;
        else
            continue;
        uint16_t compressed = 0;
        uint32_t target = 0;
        uint32_t back = 0;
        ASSERT_TRUE(CompressArmBranch(form, op, 0x8000 + op * 2, &compressed, &target));
        ASSERT_TRUE(DecompressArmBranch(form, compressed, target, &back));
        ASSERT_EQ(back, op) << "form " << form;
    }
}

TEST(ArmBranch, ThirtyTwoBitFormsComeBackExactly)
{
    std::mt19937 random(20261210);
    for (int i = 0; i < 200000; ++i) {
        const uint32_t bits = random();
        const uint32_t rva = random() & ~1u;
        uint32_t op = 0;
        int form = i % 3;
        if (form == 0) {
            form = ARM_B24;
            op = (bits & ~0x0E000000u) | 0x0A000000;
        } else if (form == 1) {
            form = ARM_THUMB2_BL25;
            op = (bits & ~0xF8008000u) | 0xF0008000;
            if (!(op & 0x5000))
                op |= 0x1000; // bit 12 or 14 of the second halfword makes it B.W, BL or BLX
        } else {
            form = ARM_THUMB2_BCOND21;
            op = (bits & ~0xF800D000u) | 0xF0008000;
        }
        uint16_t compressed = 0;
        uint32_t target = 0;
        uint32_t back = 0;
        ASSERT_TRUE(CompressArmBranch(form, op, rva, &compressed, &target));
        ASSERT_TRUE(DecompressArmBranch(form, compressed, target, &back));
        ASSERT_EQ(back, op) << "form " << form << " at " << rva;
    }
}

TEST(ArmBranch, UnknownFormsAreRefused)
{
    uint16_t compressed = 7;
    uint32_t value = 9;
    EXPECT_FALSE(CompressArmBranch(5, 0xD0FE, 0, &compressed, &value));
    EXPECT_FALSE(DecompressArmBranch(5, 0x10D0, 0, &value));
    EXPECT_FALSE(CompressArmBranch(-1, 0xD0FE, 0, &compressed, &value));
    EXPECT_EQ(compressed, 7);
    EXPECT_EQ(value, 9u);
}
