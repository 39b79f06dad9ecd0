#include "TestSupport.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

using namespace qvtest;
namespace fs = std::filesystem;

TEST(IoSelfTest, ReportsTheBoundariesAndLeavesItsFilesInPlace) {
    TempDir tmp;
    const auto result = runHelper({"--io-self-test"}, {}, 60.0, {{"TMPDIR", tmp.path()}});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    ASSERT_TRUE(result.out.ends_with("}\n")) << result.out;
    ASSERT_EQ(result.out.find('\n'), result.out.size() - 1) << "exactly one line";
    EXPECT_TRUE(result.out.starts_with("{\"deviceEnumeration\":false,\"existingBytesPreserved\":3,"))
        << result.out;

    const Json line = Json::parse(result.out);
    const std::string sessionDir = line.at("sessionDir");
    EXPECT_EQ(line, (Json{{"ok", true},
                          {"noReplace", true},
                          {"existingBytesPreserved", 3},
                          {"traversalRejected", true},
                          {"hardFileCeiling", 134217728},
                          {"oversizeFtruncateRejected", true},
                          {"sessionDir", sessionDir},
                          {"deviceEnumeration", false},
                          {"permissionsQueried", false},
                          {"streamsOpened", false}}));

    const fs::path dir(sessionDir);
    EXPECT_EQ(dir.parent_path(), fs::canonical(tmp.path()));
    EXPECT_TRUE(dir.filename().string().starts_with("quorvelle-native-capture-"));
    struct stat info {};
    ASSERT_EQ(::lstat(sessionDir.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(fileText(dir / "owned.png"), std::string("\x01\x02\x03"));
    EXPECT_TRUE(fs::is_regular_file(dir / "cap-check.png"));
    EXPECT_EQ(fs::file_size(dir / "cap-check.png"), 0u);
    EXPECT_FALSE(fs::exists(dir.parent_path() / "escape.png"));
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++entries;
    EXPECT_EQ(entries, 2u);
}
