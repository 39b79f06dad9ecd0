#include "base/Limits.h"
#include "files/OwnedFiles.h"

#include "DiskFault.h"
#include "TestSupport.h"
#include "base/CaptureError.h"
#include "base/Digest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using qv::OwnedFiles;
using qvtest::fileText;
using qvtest::thrown;
namespace fs = std::filesystem;

const std::string bound = "OUTPUT_BOUND / Image name or size exceeds bound";
const std::string unreadable = "OUTPUT_READ / Capture output is unavailable";
const std::string mismatch = "OUTPUT_IDENTITY / Capture output identity or size mismatch";
const std::string replaced = "OUTPUT_IDENTITY / Capture image was externally replaced";
const std::string notExclusive = "OUTPUT_CREATE / Could not exclusively create capture image";

class OwnedFilesTest : public ::testing::Test {
protected:
    std::string in(const OwnedFiles& files, const std::string& name) const {
        return files.url() + "/" + name;
    }
    // A regular file outside the private directory.
    std::string outside(const std::string& text) const {
        const std::string path = tmpdir_.path() + "/outside";
        std::ofstream(path) << text;
        return path;
    }
    qvtest::ScopedTmpdir tmpdir_;
};

TEST_F(OwnedFilesTest, TheDirectoryIsFreshUnderAnExistingAbsoluteTmpdir) {
    const std::string real = tmpdir_.path() + "/real";
    ASSERT_EQ(::mkdir(real.c_str(), 0755), 0);
    ASSERT_EQ(::symlink(real.c_str(), (tmpdir_.path() + "/link").c_str()), 0);
    tmpdir_.set(tmpdir_.path() + "/link/");
    OwnedFiles first, second;
    EXPECT_NE(first.url(), second.url());
    EXPECT_EQ(fs::path(first.url()).parent_path(), fs::canonical(real));

    // A path that is not UTF-8 could not be shown to the host, even behind a link that is.
    const std::string notUtf8 = tmpdir_.path() + "/caf\xE9";
    ASSERT_EQ(::mkdir(notUtf8.c_str(), 0755), 0);
    ASSERT_EQ(::symlink(notUtf8.c_str(), (tmpdir_.path() + "/plain").c_str()), 0);
    for (const std::string& value :
         {std::string(), std::string("relative/dir"), outside("x"), notUtf8, tmpdir_.path() + "/plain"}) {
        tmpdir_.set(value);
        EXPECT_EQ(thrown([] { OwnedFiles files; }),
                  "OUTPUT_DIRECTORY / Temporary directory must be an existing absolute directory")
            << value;
    }
    // /proc is an existing absolute directory in which nobody, root included, can make one.
    tmpdir_.set("/proc");
    EXPECT_THROW(OwnedFiles files, qv::PlatformError);
}

TEST_F(OwnedFilesTest, CreationChecksNameAndSizeAndNeverReplaces) {
    OwnedFiles files;
    for (const std::string name :
         {"../escape.png", "Owned.png", "owned.jpeg", ".png", "a.png.png", "a/b.png", "", "owned.mp4"})
        EXPECT_EQ(thrown([&] { files.write("x", name, 10); }), bound) << name;
    EXPECT_FALSE(fs::exists(tmpdir_.path() + "/escape.png"));
    EXPECT_TRUE(fs::is_empty(files.url()));

    // The limit is inclusive; an empty file is fine.
    files.write(std::string(10, 7), "exact.png", 10);
    EXPECT_EQ(thrown([&] { files.write(std::string(11, 7), "over.png", 10); }), bound);
    EXPECT_FALSE(fs::exists(in(files, "over.png")));
    files.write(std::string(), "empty.jpg", 0);
    EXPECT_EQ(files.metadata("empty.jpg").sha256,
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

    // An existing name keeps its bytes, even when it is a link planted under the name.
    EXPECT_EQ(thrown([&] { files.write("\x04", "exact.png", 10); }), notExclusive);
    EXPECT_EQ(files.metadata("exact.png").sha256, qv::sha256Hex(std::string(10, 7)));
    const std::string target = outside("target");
    ASSERT_EQ(::symlink(target.c_str(), in(files, "planted.png").c_str()), 0);
    EXPECT_EQ(thrown([&] { files.write("x", "planted.png", 10); }), notExclusive);
    EXPECT_EQ(fileText(target), "target");

    // The movie writer's file is created as exclusively, and registered so it can be taken back.
    const std::string name = "capture-0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9.mp4";
    const int fd = files.createOwned(name);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::write(fd, "movie", 5), 5);
    ::close(fd);
    const std::string exists = "CAPTURE_EXISTS / Capture ID was already used";
    EXPECT_EQ(thrown([&] { files.createOwned(name); }), exists);
    EXPECT_EQ(fileText(in(files, name)), "movie");
    ASSERT_EQ(::symlink("/nonexistent", in(files, "capture-dangling.mp4").c_str()), 0);
    EXPECT_EQ(thrown([&] { files.createOwned("capture-dangling.mp4"); }), exists);
    EXPECT_EQ(thrown([&] { files.createOwned("../capture-a.mp4"); }), bound);
    EXPECT_NO_THROW(files.removeOwned(name));
    EXPECT_FALSE(fs::exists(in(files, name)));
}

TEST_F(OwnedFilesTest, AFullOrFailingDiskFailsTheWriteAndTheFileStaysRemovable) {
    const std::string failed = "OUTPUT_WRITE / Image write failed";
    struct Case {
        const char* what;
        std::int64_t room;
        int failures, error, closeError;
        std::string expected;
    };
    const Case cases[] = {
        {"full part way", 100, -1, ENOSPC, 0, failed},
        {"failing from the start", 0, -1, EIO, 0, failed},
        {"no progress", 100, -1, 0, 0, failed},
        {"failing only at close", -1, -1, ENOSPC, EIO, failed},
        {"full at close", -1, -1, ENOSPC, ENOSPC, failed},
        {"interrupted write", 100, 1, EINTR, 0, "none"},
        {"interrupted close", -1, -1, ENOSPC, EINTR, "none"},
    };
    const std::string data(1000, 'x');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto disk = std::make_shared<qvtest::DiskFault>();
        disk->room = c.room;
        disk->failures = c.failures;
        disk->error = c.error;
        disk->closeError = c.closeError;
        OwnedFiles files(qvtest::faultyIo(disk));
        EXPECT_EQ(thrown([&] { files.write(data, "image.png", 2000); }), c.expected);
        EXPECT_EQ(disk->closes, 1);
        // What reached the disk stays under its name and registered, so it can be taken back.
        EXPECT_EQ(fileText(in(files, "image.png")),
                  c.room < 0 || c.expected == "none" ? data : data.substr(0, c.room));
        EXPECT_NO_THROW(files.removeOwned("image.png"));
        EXPECT_TRUE(fs::is_empty(files.url()));
    }
}

TEST_F(OwnedFilesTest, OnlyTheVeryFileCreatedIsReadOrRemoved) {
    OwnedFiles files;
    const std::string target = outside("target");
    files.write("abc", "swap.png", 10);
    ASSERT_EQ(::unlink(in(files, "swap.png").c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), in(files, "swap.png").c_str()), 0);
    EXPECT_EQ(thrown([&] { files.metadata("swap.png"); }), unreadable);
    EXPECT_EQ(thrown([&] { files.removeOwned("swap.png"); }), replaced);
    EXPECT_EQ(fileText(target), "target");

    // A second hard link blocks both; the entry stays registered until it is single-linked again.
    files.write("abc", "linked.png", 10);
    const std::string second = tmpdir_.path() + "/second";
    ASSERT_EQ(::link(in(files, "linked.png").c_str(), second.c_str()), 0);
    EXPECT_EQ(thrown([&] { files.metadata("linked.png"); }), mismatch);
    EXPECT_EQ(thrown([&] { files.removeOwned("linked.png"); }), replaced);
    ASSERT_EQ(::unlink(second.c_str()), 0);
    EXPECT_NO_THROW(files.removeOwned("linked.png"));
    EXPECT_FALSE(fs::exists(in(files, "linked.png")));
    EXPECT_EQ(thrown([&] { files.removeOwned("linked.png"); }),
              "OUTPUT_IDENTITY / Cannot remove an unowned file");

    // metadata() reads only regular files directly inside the directory.
    for (const std::string& name : {target, std::string("../outside"), std::string(".."), std::string()})
        EXPECT_EQ(thrown([&] { files.metadata(name); }), unreadable) << name;
    // A FIFO must not hold the open until some writer appears.
    ASSERT_EQ(::mkfifoat(files.directoryFD(), "pipe.mp4", 0600), 0);
    EXPECT_EQ(thrown([&] { files.metadata("pipe.mp4"); }), mismatch);
}

TEST_F(OwnedFilesTest, EveryOperationFailsOnceTheDirectoryChanged) {
    const std::string changed = "OUTPUT_DIRECTORY_CHANGED / Private capture directory identity changed";
    const std::vector<std::pair<const char*, std::function<void(const std::string&)>>> changes = {
        {"renamed",
         [](const std::string& dir) { ASSERT_EQ(::rename(dir.c_str(), (dir + "-moved").c_str()), 0); }},
        {"replaced by a link",
         [](const std::string& dir) {
             ASSERT_EQ(::rename(dir.c_str(), (dir + "-real").c_str()), 0);
             ASSERT_EQ(::symlink((dir + "-real").c_str(), dir.c_str()), 0);
         }},
        {"mode changed", [](const std::string& dir) { ASSERT_EQ(::chmod(dir.c_str(), 0750), 0); }},
    };
    for (const auto& [how, change] : changes) {
        OwnedFiles files;
        files.write("x", "kept.png", 10);
        change(files.url());
        EXPECT_EQ(thrown([&] { files.write("x", "new.png", 10); }), changed) << how;
        EXPECT_EQ(thrown([&] { files.metadata("kept.png"); }), changed) << how;
        EXPECT_EQ(thrown([&] { files.removeOwned("kept.png"); }), changed) << how;
    }
}

TEST_F(OwnedFilesTest, SizeIsCheckedAtOpenAndWhileHashing) {
    struct Case {
        std::int64_t length, changedTo;  // the size after the first chunk; 0: unchanged
        std::string expected;
    };
    const Case cases[] = {
        {65'536 * 3, 65'536 * 3 + 1, "OUTPUT_CHANGED / Capture output changed while hashing"},
        {qv::protocolLimits.maxRecordBytes + 1, 0, mismatch},
        {qv::protocolLimits.maxRecordBytes, qv::protocolLimits.maxRecordBytes + 65'536,
         "OUTPUT_BOUND / Capture output exceeded its limit"},
    };
    OwnedFiles files;
    int n = 0;
    for (const auto& c : cases) {
        // Sparse, so even the ceiling costs no disk space.
        const std::string name = "file" + std::to_string(n++) + ".mp4";
        const int fd =
            ::openat(files.directoryFD(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, c.length), 0);
        files.setReadObserver([&](std::int64_t total) {
            if (total == 65'536 && c.changedTo != 0) {
                ASSERT_EQ(::ftruncate(fd, c.changedTo), 0);
            }
        });
        EXPECT_EQ(thrown([&] { files.metadata(name); }), c.expected) << c.length << " to " << c.changedTo;
        ::close(fd);
    }
}

}  // namespace
