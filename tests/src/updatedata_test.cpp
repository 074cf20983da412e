#include "updatedata.h"

#include <gtest/gtest.h>

TEST(UpdateData, EntryPathAndKindFollowTheProductIniLineShape)
{
    struct Case
    {
        const char *name;
        FileReplaceEntry entry;
        bool packed;
        bool patch;
        QString path;
    };
    const Case cases[] = {
        {"two-field line", {"bin", "lib/libfoo.so", "", 0, "", ""}, false, false, "lib/libfoo.so"},
        {"five-field line",
         {"bin", "lib/libfoo.so._lzma2_", "ab12", 42, "lib/libfoo.so", ""},
         true,
         false,
         "lib/libfoo.so"},
        {"five-field line with patch",
         {"bin", "cv5client_linux_x86.gz", "cd34", 7, "cv5client_linux_x86", "cv5client_linux_x86_patch_"},
         true,
         true,
         "cv5client_linux_x86"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.entry.isPacked(), c.packed);
        EXPECT_EQ(c.entry.hasPatch(), c.patch);
        EXPECT_EQ(makeEntryPath(c.entry), c.path);
    }
}

TEST(UpdateData, CopyIsIndependentAndClearEmptiesEveryList)
{
    UpdateData plan;
    plan.downloads.append({"bin", "a", "11", 1});
    plan.replacements.append({"bin", "a", "", 0, "", ""});
    plan.deletions.append({"old/dir", true});
    plan.preInstall.append({"pre.sh", {"x"}, true});
    plan.postInstall.append({"post.sh", {}, false});

    UpdateData copy;
    copy.downloads.append({"other", "z", "99", 9});
    copy = plan;
    copy = copy; // self-assignment keeps everything
    plan.downloads[0].name = "changed";
    plan.clear();

    EXPECT_TRUE(plan.downloads.isEmpty());
    EXPECT_TRUE(plan.replacements.isEmpty());
    EXPECT_TRUE(plan.deletions.isEmpty());
    EXPECT_TRUE(plan.preInstall.isEmpty());
    EXPECT_TRUE(plan.postInstall.isEmpty());

    ASSERT_EQ(copy.downloads.size(), 1);
    EXPECT_EQ(copy.downloads[0].name, "a");
    EXPECT_EQ(copy.replacements.size(), 1);
    ASSERT_EQ(copy.deletions.size(), 1);
    EXPECT_TRUE(copy.deletions[0].recursive);
    ASSERT_EQ(copy.preInstall.size(), 1);
    EXPECT_EQ(copy.preInstall[0].arguments, QStringList {"x"});
    ASSERT_EQ(copy.postInstall.size(), 1);
    EXPECT_FALSE(copy.postInstall[0].required);
}
