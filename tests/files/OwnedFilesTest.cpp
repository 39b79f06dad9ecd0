#include "files/OwnedFiles.h"

#include "HelperProcess.h"
#include "platform/Runtime.h"
#include "platform/Uuid.h"
#include "protocol/CaptureError.h"
#include "protocol/Digest.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using qv::CaptureError;
using qv::OwnedFiles;
namespace fs = std::filesystem;

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The code and message of the CaptureError `body` throws, as "CODE / message"; "none" if it returns.
std::string failure(const std::function<void()>& body) {
    try {
        body();
    } catch (const CaptureError& error) {
        return error.code() + " / " + error.message();
    }
    return "none";
}

// Points TMPDIR at a scratch directory for the life of the test, restoring it afterwards.
class OwnedFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("TMPDIR")) savedTmpdir_ = old;
        setTmpdir(scratch_.path());
    }
    void TearDown() override {
        if (savedTmpdir_) {
            ::setenv("TMPDIR", savedTmpdir_->c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
    }
    static void setTmpdir(const std::string& value) { ::setenv("TMPDIR", value.c_str(), 1); }
    std::string in(const OwnedFiles& files, const std::string& name) const {
        return files.url() + "/" + name;
    }

    qvtest::TempDir scratch_;
    std::optional<std::string> savedTmpdir_;
};

TEST_F(OwnedFilesTest, CreatesAFreshOwnerOnlyDirectoryUnderTheResolvedTmpdir) {
    const std::string real = scratch_.path() + "/real";
    ASSERT_EQ(::mkdir(real.c_str(), 0755), 0);
    ASSERT_EQ(::symlink(real.c_str(), (scratch_.path() + "/link").c_str()), 0);
    setTmpdir(scratch_.path() + "/link/");

    OwnedFiles first;
    OwnedFiles second;
    const fs::path url(first.url());
    EXPECT_EQ(url.parent_path(), fs::canonical(real));
    const std::string name = url.filename().string();
    ASSERT_EQ(name.size(), 61u);
    EXPECT_TRUE(name.starts_with("quorvelle-native-capture-"));
    const std::string id = name.substr(25);
    EXPECT_TRUE(qv::isCanonicalUuid(id));
    EXPECT_EQ(id.find_first_of("ABCDEF"), std::string::npos);
    EXPECT_NE(first.url(), second.url());

    struct stat info {};
    ASSERT_EQ(::lstat(first.url().c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(info.st_uid, ::geteuid());
    EXPECT_NO_THROW(first.check());
}

TEST_F(OwnedFilesTest, TmpdirMustBeAnExistingAbsoluteDirectory) {
    const std::string file = scratch_.path() + "/plain";
    std::ofstream(file) << "x";
    for (const std::string& value :
         {std::string(), std::string("relative/dir"), scratch_.path() + "/missing", file}) {
        setTmpdir(value);
        EXPECT_EQ(failure([] { OwnedFiles files; }),
                  "OUTPUT_DIRECTORY / Temporary directory must be an existing absolute directory")
            << "TMPDIR=" << value;
    }
    EXPECT_TRUE(fs::is_empty(scratch_.path()) || fs::exists(file));
}

TEST_F(OwnedFilesTest, WithoutTmpdirUsesTheSystemTemporaryDirectory) {
    ::unsetenv("TMPDIR");
    OwnedFiles files;
    EXPECT_EQ(fs::path(files.url()).parent_path(), fs::canonical("/tmp"));
    ::rmdir(files.url().c_str());
}

TEST_F(OwnedFilesTest, ADirectoryThatCannotBeMadeIsAPlatformError) {
    // /proc is an existing absolute directory in which nobody, root included, can make one.
    setTmpdir("/proc");
    EXPECT_THROW(OwnedFiles files, qv::PlatformError);
}

TEST_F(OwnedFilesTest, NameRuleIsCheckedBeforeAnythingIsCreated) {
    OwnedFiles files;
    for (const std::string name :
         {"../escape.png", "Owned.png", "owned.PNG", "owned.jpeg", ".png", "owned", "owned.", "owned.gif",
          "a.png.png", "a b.png", "a/b.png", "", "owned.mp4"}) {
        EXPECT_EQ(failure([&] { files.write("x", name, 10); }),
                  "OUTPUT_BOUND / Image name or size exceeds bound")
            << name;
    }
    EXPECT_FALSE(fs::exists(scratch_.path() + "/escape.png"));
    EXPECT_TRUE(fs::is_empty(files.url()));

    for (const std::string name : {"preview-0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9.jpg",
                                   "snapshot-0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9.png", "0.jpg", "-.png"}) {
        EXPECT_NO_THROW(files.write("x", name, 10)) << name;
        EXPECT_EQ(contents(in(files, name)), "x");
    }
}

TEST_F(OwnedFilesTest, LimitIsInclusiveAndEmptyDataMakesAnEmptyFile) {
    OwnedFiles files;
    files.write(std::string(10, 7), "exact.png", 10);
    EXPECT_EQ(files.metadata("exact.png").bytes, 10);
    EXPECT_EQ(failure([&] { files.write(std::string(11, 7), "over.png", 10); }),
              "OUTPUT_BOUND / Image name or size exceeds bound");
    EXPECT_FALSE(fs::exists(in(files, "over.png")));

    files.write(std::string(), "empty.jpg", 0);
    struct stat info {};
    ASSERT_EQ(::lstat(in(files, "empty.jpg").c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const auto empty = files.metadata("empty.jpg");
    EXPECT_EQ(empty.bytes, 0);
    EXPECT_EQ(empty.sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST_F(OwnedFilesTest, MetadataHashesAcrossManyReads) {
    OwnedFiles files;
    std::string data(65'536 * 3 + 17, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + i / 7);
    files.write(data, "big.png", qv::maxSnapshotBytes);
    const auto result = files.metadata("big.png");
    EXPECT_EQ(result.bytes, static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(result.sha256, qv::sha256Hex(data));
}

TEST_F(OwnedFilesTest, AnExistingNameIsNeverReplaced) {
    OwnedFiles files;
    files.write("\x01\x02\x03", "owned.png", 10);
    EXPECT_EQ(failure([&] { files.write("\x04", "owned.png", 10); }),
              "OUTPUT_CREATE / Could not exclusively create capture image");
    const auto kept = files.metadata("owned.png");
    EXPECT_EQ(kept.bytes, 3);
    EXPECT_EQ(kept.sha256, qv::sha256Hex("\x01\x02\x03"));

    // Not even through a link planted under the name.
    const std::string target = scratch_.path() + "/target";
    std::ofstream(target) << "target";
    ASSERT_EQ(::symlink(target.c_str(), in(files, "planted.png").c_str()), 0);
    EXPECT_EQ(failure([&] { files.write("x", "planted.png", 10); }),
              "OUTPUT_CREATE / Could not exclusively create capture image");
    EXPECT_EQ(contents(target), "target");
}

TEST_F(OwnedFilesTest, AFileReplacedByALinkIsNeitherReadNorRemoved) {
    OwnedFiles files;
    files.write("abc", "swap.png", 10);
    const std::string target = scratch_.path() + "/target";
    std::ofstream(target) << "target";
    ASSERT_EQ(::unlink(in(files, "swap.png").c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), in(files, "swap.png").c_str()), 0);

    EXPECT_EQ(failure([&] { files.metadata("swap.png"); }), "OUTPUT_READ / Capture output is unavailable");
    EXPECT_EQ(failure([&] { files.removeOwned("swap.png"); }),
              "OUTPUT_IDENTITY / Capture image was externally replaced");
    EXPECT_TRUE(fs::is_symlink(in(files, "swap.png")));
    EXPECT_EQ(contents(target), "target");
}

TEST_F(OwnedFilesTest, ASecondHardLinkBlocksMetadataAndRemoval) {
    OwnedFiles files;
    files.write("abc", "linked.png", 10);
    const std::string second = scratch_.path() + "/second";
    ASSERT_EQ(::link(in(files, "linked.png").c_str(), second.c_str()), 0);

    EXPECT_EQ(failure([&] { files.metadata("linked.png"); }),
              "OUTPUT_IDENTITY / Capture output identity or size mismatch");
    EXPECT_EQ(failure([&] { files.removeOwned("linked.png"); }),
              "OUTPUT_IDENTITY / Capture image was externally replaced");

    // The entry stayed registered, so the file can go once it is single-linked again.
    ASSERT_EQ(::unlink(second.c_str()), 0);
    EXPECT_NO_THROW(files.removeOwned("linked.png"));
    EXPECT_FALSE(fs::exists(in(files, "linked.png")));
}

TEST_F(OwnedFilesTest, OnlyOwnedFilesAreRemovedAndOnlyOnce) {
    OwnedFiles files;
    files.write("abc", "once.jpg", 10);
    files.removeOwned("once.jpg");
    EXPECT_FALSE(fs::exists(in(files, "once.jpg")));
    EXPECT_EQ(failure([&] { files.removeOwned("once.jpg"); }),
              "OUTPUT_IDENTITY / Cannot remove an unowned file");

    std::ofstream(in(files, "foreign.jpg")) << "x";
    EXPECT_EQ(failure([&] { files.removeOwned("foreign.jpg"); }),
              "OUTPUT_IDENTITY / Cannot remove an unowned file");
    EXPECT_TRUE(fs::exists(in(files, "foreign.jpg")));

}

TEST_F(OwnedFilesTest, MetadataOnlyReadsRegularFilesInsideTheDirectory) {
    OwnedFiles files;
    EXPECT_EQ(failure([&] { files.metadata("missing.mp4"); }), "OUTPUT_READ / Capture output is unavailable");

    const std::string outside = scratch_.path() + "/outside.mp4";
    std::ofstream(outside) << "outside";
    for (const std::string& name :
         {outside, std::string("../outside.mp4"), std::string(".."), std::string()}) {
        EXPECT_EQ(failure([&] { files.metadata(name); }), "OUTPUT_READ / Capture output is unavailable")
            << name;
    }

    ASSERT_EQ(::mkdirat(files.directoryFD(), "sub", 0700), 0);
    EXPECT_EQ(failure([&] { files.metadata("sub"); }),
              "OUTPUT_IDENTITY / Capture output identity or size mismatch");
    // A FIFO must not hold the open until some writer appears.
    ASSERT_EQ(::mkfifoat(files.directoryFD(), "pipe.mp4", 0600), 0);
    EXPECT_EQ(failure([&] { files.metadata("pipe.mp4"); }),
              "OUTPUT_IDENTITY / Capture output identity or size mismatch");
}

TEST_F(OwnedFilesTest, EveryOperationFailsOnceTheDirectoryChanged) {
    const std::string changed = "OUTPUT_DIRECTORY_CHANGED / Private capture directory identity changed";
    const auto expectAllFail = [&](OwnedFiles& files, const std::string& how) {
        EXPECT_EQ(failure([&] { files.check(); }), changed) << how;
        EXPECT_EQ(failure([&] { files.write("x", "new.png", 10); }), changed) << how;
        EXPECT_EQ(failure([&] { files.metadata("kept.png"); }), changed) << how;
        EXPECT_EQ(failure([&] { files.removeOwned("kept.png"); }), changed) << how;
        EXPECT_EQ(failure([&] { files.createOwned("capture-a.mp4"); }), changed) << how;
    };
    const auto fresh = [&] {
        auto files = std::make_unique<OwnedFiles>();
        files->write("x", "kept.png", 10);
        return files;
    };

    {
        auto files = fresh();
        ASSERT_EQ(::rename(files->url().c_str(), (files->url() + "-moved").c_str()), 0);
        expectAllFail(*files, "renamed");
    }
    {
        auto files = fresh();
        ASSERT_EQ(::rename(files->url().c_str(), (files->url() + "-old").c_str()), 0);
        ASSERT_EQ(::mkdir(files->url().c_str(), 0700), 0);
        expectAllFail(*files, "replaced by a directory");
    }
    {
        auto files = fresh();
        ASSERT_EQ(::rename(files->url().c_str(), (files->url() + "-real").c_str()), 0);
        ASSERT_EQ(::symlink((files->url() + "-real").c_str(), files->url().c_str()), 0);
        expectAllFail(*files, "replaced by a link");
    }
    {
        auto files = fresh();
        ASSERT_EQ(::chmod(files->url().c_str(), 0750), 0);
        expectAllFail(*files, "mode changed");
        EXPECT_TRUE(fs::exists(files->url() + "/kept.png"));
        ASSERT_EQ(::chmod(files->url().c_str(), 0700), 0);
        EXPECT_NO_THROW(files->check());
    }
}

// A file created with its full length at once: sparse, so even the ceiling costs no disk space.
void makeFileOfLength(const OwnedFiles& files, const std::string& name, std::int64_t length) {
    const int fd = ::openat(files.directoryFD(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, length), 0);
    ::close(fd);
}

TEST_F(OwnedFilesTest, AFileThatChangesWhileHashedFails) {
    OwnedFiles files;
    makeFileOfLength(files, "grows.mp4", 65'536 * 3);
    files.setReadObserver([&](std::int64_t total) {
        if (total == 65'536) {
            ASSERT_EQ(::truncate((files.url() + "/grows.mp4").c_str(), 65'536 * 3 + 1), 0);
        }
    });
    EXPECT_EQ(failure([&] { files.metadata("grows.mp4"); }),
              "OUTPUT_CHANGED / Capture output changed while hashing");

    makeFileOfLength(files, "shrinks.mp4", 65'536 * 3);
    files.setReadObserver([&](std::int64_t total) {
        if (total == 65'536) {
            ASSERT_EQ(::truncate((files.url() + "/shrinks.mp4").c_str(), 65'536 * 2), 0);
        }
    });
    EXPECT_EQ(failure([&] { files.metadata("shrinks.mp4"); }),
              "OUTPUT_CHANGED / Capture output changed while hashing");
}

TEST_F(OwnedFilesTest, TheCeilingHoldsAtOpenAndWhileHashing) {
    OwnedFiles files;
    makeFileOfLength(files, "over.mp4", qv::maxRecordBytes + 1);
    EXPECT_EQ(failure([&] { files.metadata("over.mp4"); }),
              "OUTPUT_IDENTITY / Capture output identity or size mismatch");

    makeFileOfLength(files, "full.mp4", qv::maxRecordBytes);
    files.setReadObserver([&](std::int64_t total) {
        if (total == 65'536) {
            ASSERT_EQ(::truncate((files.url() + "/full.mp4").c_str(), qv::maxRecordBytes + 65'536), 0);
        }
    });
    EXPECT_EQ(failure([&] { files.metadata("full.mp4"); }),
              "OUTPUT_BOUND / Capture output exceeded its limit");
}

// Runs in a child process: lowers the file-size limit there, writes past it and exits with 0 when the
// partly written file kept its registration.
[[noreturn]] void writePastFileSizeLimit(OwnedFiles& files) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{100, 100};
    if (::setrlimit(RLIMIT_FSIZE, &small) != 0) std::_Exit(2);
    if (failure([&] { files.write(std::string(200, 1), "cut.png", 1000); }) !=
        "OUTPUT_WRITE / Image write failed") {
        std::_Exit(3);
    }
    struct stat info {};
    if (::fstatat(files.directoryFD(), "cut.png", &info, 0) != 0 || info.st_size != 100) std::_Exit(4);
    files.removeOwned("cut.png");
    std::_Exit(fs::exists(files.url() + "/cut.png") ? 5 : 0);
}

TEST_F(OwnedFilesTest, AWriteStoppedByTheFileSizeLimitStaysRemovable) {
    OwnedFiles files;
    EXPECT_EXIT(writePastFileSizeLimit(files), ::testing::ExitedWithCode(0), "");
}

TEST_F(OwnedFilesTest, CreateOwnedMakesAnExclusivePrivateRecordingFile) {
    OwnedFiles files;
    const std::string name = "capture-0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9.mp4";
    const mode_t oldMask = ::umask(0);
    const int fd = files.createOwned(name);
    ::umask(oldMask);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::write(fd, "movie", 5), 5);
    struct stat info {};
    ASSERT_EQ(::fstat(fd, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    ::close(fd);
    EXPECT_EQ(files.metadata(name).sha256, qv::sha256Hex("movie"));

    EXPECT_EQ(failure([&] { files.createOwned(name); }), "CAPTURE_EXISTS / Capture ID was already used");
    EXPECT_EQ(contents(in(files, name)), "movie");
    ASSERT_EQ(::symlink("/nonexistent", in(files, "capture-dangling.mp4").c_str()), 0);
    EXPECT_EQ(failure([&] { files.createOwned("capture-dangling.mp4"); }),
              "CAPTURE_EXISTS / Capture ID was already used");
    for (const std::string bad : {"../capture-a.mp4", "Capture-a.mp4", "capture-a.png", "capture-a.MP4"}) {
        EXPECT_EQ(failure([&] { files.createOwned(bad); }), "OUTPUT_BOUND / Image name or size exceeds bound")
            << bad;
    }

    // Registered as owned, so a recording whose creation failed can be taken back.
    EXPECT_NO_THROW(files.removeOwned(name));
    EXPECT_FALSE(fs::exists(in(files, name)));
}

TEST_F(OwnedFilesTest, WritersOnTwoThreadsShareTheRegistry) {
    OwnedFiles files;
    const auto work = [&](const std::string& prefix) {
        for (int i = 0; i < 50; ++i) {
            const std::string name = prefix + std::to_string(i) + ".jpg";
            files.write(name, name, 100);
            files.removeOwned(name);
        }
    };
    std::thread other(work, "b");
    work("a");
    other.join();
    EXPECT_TRUE(fs::is_empty(files.url()));
}

}  // namespace
