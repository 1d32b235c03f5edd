#include "file_helpers.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "app_start.hpp"
#include "deep_tree.hpp"
#include "files_test_support.hpp"
#include "foreign_process.hpp"
#include "incompressible.hpp"
#include "paths.hpp"
#include "private_mount.hpp"
#include "report_capture.hpp"
#include "tree_removal.hpp"
#include "utils.hpp"

namespace fs = std::filesystem;
using files_test::readFile;
using files_test::ScratchDir;
using files_test::writeFile;

namespace {

std::string xmlPlist(const std::string& versionEntry) {
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleExecutable</key>
	<string>Zentravo</string>
	<key>CFBundleIdentifier</key>
	<string>com.zentravo.app</string>
)" + versionEntry +
           R"(	<key>CFBundleVersion</key>
	<string>2107</string>
</dict>
</plist>
)";
}

std::string versionEntry(const std::string& text) {
    return "\t<key>CFBundleShortVersionString</key>\n\t<string>" + text + "</string>\n";
}

// A binary property list as the platform's tools write it, made with libplist's writer.
std::string binaryPlist(const std::string& version) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "CFBundleExecutable", plist_new_string("Zentravo"));
    plist_dict_set_item(root, "CFBundleShortVersionString", plist_new_string(version.c_str()));
    char* data = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &data, &length);
    std::string out{data, length};
    std::free(data);
    plist_free(root);
    return out;
}

fs::path infoPlist(const fs::path& directory) {
    return directory / "Zentravo.app" / "Contents" / "Info.plist";
}

TEST(GetCurrentVersion, ReadsTheBundleVersionFromXmlAndBinaryPlists) {
    ScratchDir dir;
    LogCapture logs;
    writeFile(infoPlist(dir.path() / "xml"), xmlPlist(versionEntry("2.1.7")));
    writeFile(infoPlist(dir.path() / "bin"), binaryPlist("3.0.0-beta.2"));
    ASSERT_EQ(readFile(infoPlist(dir.path() / "bin")).substr(0, 6), "bplist");

    EXPECT_EQ(zentravo::getCurrentVersion(dir.path() / "xml").to_string(), "2.1.7");
    EXPECT_EQ(zentravo::getCurrentVersion(dir.path() / "bin").to_string(), "3.0.0-beta.2");
    EXPECT_TRUE(logs.lines().empty());
}

TEST(GetCurrentVersion, AnythingMissingGivesZeroQuietly) {
    ScratchDir dir;
    files_test::ReportCapture reports;
    LogCapture logs;
    const fs::path noKey = dir.path() / "nokey";
    writeFile(infoPlist(noKey), xmlPlist(""));
    const fs::path numberKey = dir.path() / "number";
    writeFile(infoPlist(numberKey),
              xmlPlist("\t<key>CFBundleShortVersionString</key>\n\t<integer>2</integer>\n"));
    const fs::path noPlist = dir.path() / "noplist";
    fs::create_directories(noPlist / "Zentravo.app" / "Contents");
    const fs::path garbage = dir.path() / "garbage";
    writeFile(infoPlist(garbage), "this is not a property list");
    const fs::path plainFile = dir.path() / "file";
    writeFile(plainFile, "x");
    fs::create_directories(dir.path() / "empty");

    for (const fs::path& directory : {dir.path() / "absent", plainFile, dir.path() / "empty",
                                      noPlist, noKey, numberKey, garbage}) {
        EXPECT_EQ(zentravo::getCurrentVersion(directory).to_string(), "0.0.0") << directory;
    }
    EXPECT_TRUE(logs.lines().empty());
    EXPECT_TRUE(reports.collect().reports.empty());
}

TEST(GetCurrentVersion, UnparsableVersionIsLoggedAndGivesZero) {
    ScratchDir dir;
    LogCapture logs;
    writeFile(infoPlist(dir.path()), xmlPlist(versionEntry("2.1.7\n")));
    files_test::ReportCapture reports;

    EXPECT_EQ(zentravo::getCurrentVersion(dir.path()).to_string(), "0.0.0");
    const auto errors = files_test::linesAt(logs, "error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0],
              "Error setting fileVersion from installed version: 2.1.7\n - "
              "semver::version::from_string invalid version.");
    EXPECT_EQ(reports.collect().reports,
              (std::vector<files_test::Report>{{"getCurrentVersion Failed", errors[0]}}));
}

// A character device with /dev/zero's numbers, which never ends; making one needs root (and a
// file system that allows it), else the case falls back to a FIFO and says so.
void makeDeviceNode(const fs::path& p) {
    if (::mknod(p.c_str(), S_IFCHR | 0644, ::makedev(1, 5)) == 0) {
        ::testing::Test::RecordProperty("device_case", "character device node");
        return;
    }
    ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0);
    std::printf("Cannot make a device node here (%s): the \"device\" case uses a FIFO\n",
                std::strerror(errno));
    ::testing::Test::RecordProperty("device_case", "fifo");
}

// A FIFO, a device node, a link to one, a huge (sparse) file, a link or a folder where the
// Info.plist belongs: both readers give up at once, without waiting for a writer or loading the
// file.
TEST(GetCurrentVersion, UnusableInfoPlistGivesZeroWithALogLineAndNoStart) {
    ScratchDir dir;
    struct Case {
        std::string label;
        std::function<void(const fs::path&)> make;
        std::string problem;
    };
    const std::vector<Case> cases{
        {"fifo", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); },
         "not a regular file"},
        {"device", makeDeviceNode, "not a regular file"},
        {"link to a device", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); },
         "is a symbolic link"},
        {"huge",
         [](const fs::path& p) {
             writeFile(p, xmlPlist(versionEntry("9.9.9")));
             fs::resize_file(p, 64U << 20);
         },
         "more than"},
        {"folder", [](const fs::path& p) { fs::create_directories(p); }, "not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const fs::path directory = dir.path() / c.label;
        const fs::path plist = infoPlist(directory);
        fs::create_directories(plist.parent_path());
        c.make(plist);
        LogCapture logs;

        auto version =
            std::async(std::launch::async, [&] { return zentravo::getCurrentVersion(directory); });
        if (version.wait_for(std::chrono::seconds{10}) != std::future_status::ready) {
            // Give the blocked reader its end of file so that the test can go on.
            const int writer = ::open(plist.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0) {
                ::close(writer);
            }
            ADD_FAILURE() << "reading the installed version blocked";
        }
        EXPECT_EQ(version.get().to_string(), "0.0.0");
        const auto errors = files_test::linesAt(logs, "error");
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].rfind("Cannot read the installed version: " + plist.string(), 0), 0u)
            << errors[0];
        EXPECT_NE(errors[0].find(c.problem), std::string::npos) << errors[0];

        EXPECT_THROW((void)zentravo::system::bundleExecutable(directory / "Zentravo.app"),
                     std::runtime_error);
    }
}

// --- unpackFile ------------------------------------------------------------------------------

struct Member {
    std::string name;
    enum Kind { File, Dir, Symlink, Hardlink, Other } kind = File;
    std::string content;       // file content or link target
    mode_t mode = 0;           // permissions, or the file type for Other; 0: the usual
    bool modeAsGiven = false;  // a mode of 0 meant as no permissions at all
};

// Writes a tar archive member by member with libarchive, so names and links can be anything.
void writeTar(const fs::path& path, const std::vector<Member>& members,
              int (*format)(archive*) = archive_write_set_format_pax_restricted) {
    archive* a = archive_write_new();
    format(a);
    ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK);
    for (const auto& m : members) {
        archive_entry* e = archive_entry_new();
        archive_entry_set_pathname(e, m.name.c_str());
        archive_entry_set_perm(e, 0644);
        switch (m.kind) {
            case Member::File:
                archive_entry_set_filetype(e, AE_IFREG);
                archive_entry_set_size(e, static_cast<la_int64_t>(m.content.size()));
                break;
            case Member::Dir:
                archive_entry_set_filetype(e, AE_IFDIR);
                archive_entry_set_perm(e, 0755);
                break;
            case Member::Symlink:
                archive_entry_set_filetype(e, AE_IFLNK);
                archive_entry_set_symlink(e, m.content.c_str());
                break;
            case Member::Hardlink:
                archive_entry_set_filetype(e, AE_IFREG);
                archive_entry_set_hardlink(e, m.content.c_str());
                archive_entry_set_size(e, 0);
                break;
            case Member::Other:
                archive_entry_set_filetype(e, m.mode);
                archive_entry_set_rdev(e, makedev(1, 3));
                archive_entry_set_size(e, 0);
                break;
        }
        if ((m.mode != 0 || m.modeAsGiven) && m.kind != Member::Other) {
            archive_entry_set_perm(e, m.mode);
        }
        archive_write_header(a, e);
        if (m.kind == Member::File && !m.content.empty()) {
            archive_write_data(a, m.content.data(), m.content.size());
        }
        archive_entry_free(e);
    }
    archive_write_close(a);
    archive_write_free(a);
}

std::string unpackError(const fs::path& archivePath, const fs::path& destination) {
    try {
        zentravo::unpackFile(archivePath, destination);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

// A bundle-like tree made by GNU tar in every compression the update service may use; the
// content, not the file name, decides how it is read.
TEST(UnpackFile, ExtractsRealArchivesInEveryCompression) {
    ScratchDir dir;
    const fs::path tree = dir.path() / "tree";
    writeFile(tree / "Zentravo.app/Contents/Info.plist", xmlPlist(versionEntry("4.5.6")));
    writeFile(tree / "Zentravo.app/Contents/MacOS/Zentravo", "#!/bin/sh\necho hi\n");
    fs::permissions(tree / "Zentravo.app/Contents/MacOS/Zentravo", fs::perms(0755));
    writeFile(tree / "Zentravo.app/Contents/Resources/data.bin", std::string(300000, 'z'));
    fs::create_symlink("MacOS/Zentravo", tree / "Zentravo.app/Contents/current");
    fs::create_directories(tree / "Zentravo.app/Contents/Empty");

    const std::vector<std::pair<std::string, std::string>> kinds{
        {"plain", ""}, {"gz", "--gzip"}, {"xz", "--xz"}, {"zst", "--zstd"}};
    for (const auto& [kind, flag] : kinds) {
        SCOPED_TRACE(kind);
        const fs::path archivePath = dir.path() / ("update.archive." + kind);
        std::vector<std::string> argv{"tar", "-cf", archivePath.string()};
        if (!flag.empty()) {
            argv.insert(argv.begin() + 1, flag);
        }
        argv.insert(argv.end(), {"-C", tree.string(), "Zentravo.app"});
        ASSERT_EQ(files_test::run(argv), 0);

        const fs::path out = dir.path() / ("out-" + kind) / "nested" / "app";
        zentravo::unpackFile(archivePath, out);

        EXPECT_EQ(zentravo::getCurrentVersion(out).to_string(), "4.5.6");
        EXPECT_EQ(readFile(out / "Zentravo.app/Contents/Resources/data.bin"),
                  std::string(300000, 'z'));
        EXPECT_EQ(fs::status(out / "Zentravo.app/Contents/MacOS/Zentravo").permissions() &
                      fs::perms::owner_exec,
                  fs::perms::owner_exec);
        EXPECT_EQ(fs::read_symlink(out / "Zentravo.app/Contents/current"), "MacOS/Zentravo");
        EXPECT_TRUE(fs::is_directory(out / "Zentravo.app/Contents/Empty"));
    }
}

TEST(UnpackFile, MissingArchiveThrowsBeforeCreatingTheDestination) {
    ScratchDir dir;
    const fs::path destination = dir.path() / "dest";
    EXPECT_EQ(unpackError(dir.path() / "missing.tar.gz", destination),
              ".Zip Input file doesn't exist: " + (dir.path() / "missing.tar.gz").string());
    EXPECT_FALSE(fs::exists(destination));
}

TEST(UnpackFile, MissingDestinationIsCreatedWithItsParents) {
    ScratchDir dir;
    files_test::ReportCapture reports;
    const fs::path archivePath = dir.path() / "a.tar";
    writeTar(archivePath, {{"file.txt", Member::File, "content"}});
    const fs::path destination = dir.path() / "one" / "two" / "three";
    zentravo::unpackFile(archivePath, destination);
    EXPECT_EQ(readFile(destination / "file.txt"), "content");
    const auto crumbs = reports.collect().breadcrumbs;
    EXPECT_NE(std::find(crumbs.begin(), crumbs.end(),
                        "Path " + destination.string() + " not found, creating it"),
              crumbs.end());
}

TEST(UnpackFile, WorksInAnExistingDestinationAndLeavesTheWorkingDirectoryAlone) {
    ScratchDir dir;
    const fs::path archivePath = dir.path() / "a.tar";
    writeTar(archivePath, {{"./top.txt", Member::File, "top"}, {"sub/", Member::Dir, ""}});
    fs::create_directories(dir.path() / "dest");
    writeFile(dir.path() / "dest/keep.txt", "kept");
    const fs::path before = fs::current_path();

    zentravo::unpackFile(archivePath, dir.path() / "dest");

    EXPECT_EQ(readFile(dir.path() / "dest/top.txt"), "top");
    EXPECT_EQ(readFile(dir.path() / "dest/keep.txt"), "kept");
    EXPECT_TRUE(fs::is_directory(dir.path() / "dest/sub"));
    EXPECT_EQ(fs::current_path(), before);
    EXPECT_FALSE(fs::exists(before / "top.txt"));
}

// Every way out of the destination is refused and the archive reported as broken; nothing is
// written outside, and no link that leads outside is left behind.
TEST(UnpackFile, RefusesMembersThatEscapeTheDestination) {
    struct Case {
        std::string label;
        std::vector<Member> members;
        std::string messagePart;
    };
    const std::vector<Case> cases{
        {"dot-dot name",
         {{"ok.txt", Member::File, "ok"}, {"../outside.txt", Member::File, "x"}},
         "'..'"},
        {"dot-dot inside name", {{"a/../../outside.txt", Member::File, "x"}}, "'..'"},
        {"absolute name", {{"/tmp/launcher-files-absolute.txt", Member::File, "x"}}, "absolute"},
        {"absolute symlink", {{"link", Member::Symlink, "/etc"}}, "points outside"},
        {"relative symlink out", {{"a/link", Member::Symlink, "../../outside"}}, "points outside"},
        {"write through link",
         {{"dir/", Member::Dir, ""},
          {"inlink", Member::Symlink, "dir"},
          {"inlink/file.txt", Member::File, "x"}},
         "symlink"},
        {"write through link, name spelt otherwise",
         {{"dir/", Member::Dir, ""},
          {"./inlink", Member::Symlink, "dir"},
          {"inlink//file.txt", Member::File, "x"}},
         "symlink"},
        {"write through a hard link to a link",
         {{"dir/", Member::Dir, ""},
          {"inlink", Member::Symlink, "dir"},
          {"hard", Member::Hardlink, "inlink"},
          {"hard/file.txt", Member::File, "x"}},
         "symlink"},
        {"hardlink out", {{"h", Member::Hardlink, "../outside.txt"}}, "'..'"},
        // Inside where it stands, outside where the hard link stands.
        {"hard link to a deep link",
         {{"a/b/link", Member::Symlink, "../../outside.txt"},
          {"hard", Member::Hardlink, "a/b/link"}},
         "names a symlink"},
        {"name too deep", {{fixture::deepName("", 128), Member::File, "x"}}, "129 levels deep"},
        {"name longer than PATH_MAX",
         {{std::string(40, 'n') + "/" + std::string(4100, 'n'), Member::File, "x"}},
         "longer than 4096 bytes"},
        // sub/x -> . and sub/y -> x/.. both stay inside, until sub/x is replaced by a link to ..
        {"link replaced later",
         {{"sub/", Member::Dir, ""},
          {"sub/x", Member::Symlink, "."},
          {"sub/y", Member::Symlink, "x/.."},
          {"sub/x", Member::Symlink, ".."}},
         "points outside"},
    };
    // A destination the unpacking makes itself, and one that exists (kept after a failure, so
    // that what was left in it can be seen).
    for (const bool existing : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.label + (existing ? " into an existing folder" : " into a new folder"));
            ScratchDir dir;
            writeFile(dir.path() / "outside.txt", "original");
            const fs::path archivePath = dir.path() / "evil.tar";
            writeTar(archivePath, c.members);
            const fs::path destination = dir.path() / "dest";
            if (existing) {
                fs::create_directories(destination);
            }

            const std::string error = unpackError(archivePath, destination);
            EXPECT_EQ(error.rfind("Could not unpack file - ", 0), 0u) << error;
            EXPECT_NE(error.find(c.messagePart), std::string::npos) << error;
            EXPECT_EQ(readFile(dir.path() / "outside.txt"), "original");
            EXPECT_FALSE(fs::exists("/tmp/launcher-files-absolute.txt"));
            EXPECT_EQ(fs::exists(destination), existing);
            if (!existing) {
                continue;
            }
            for (const auto& entry : fs::recursive_directory_iterator(destination)) {
                if (entry.is_symlink()) {
                    const fs::path real = fs::weakly_canonical(entry.path());
                    EXPECT_EQ(real.lexically_relative(fs::canonical(destination))
                                  .begin()
                                  ->string()
                                  .rfind("..", 0),
                              std::string::npos)
                        << entry.path() << " -> " << real;
                }
            }
        }
    }
}

TEST(UnpackFile, LinksThatStayInsideAreKept) {
    ScratchDir dir;
    const fs::path archivePath = dir.path() / "links.tar";
    writeTar(archivePath, {{"lib/", Member::Dir, ""},
                           {"lib/real.so", Member::File, "code"},
                           {"lib/alias.so", Member::Symlink, "real.so"},
                           {"bin/", Member::Dir, ""},
                           {"bin/up", Member::Symlink, "../lib/real.so"},
                           {"lib/hard.so", Member::Hardlink, "lib/real.so"}});
    zentravo::unpackFile(archivePath, dir.path() / "dest");
    EXPECT_EQ(readFile(dir.path() / "dest/lib/alias.so"), "code");
    EXPECT_EQ(readFile(dir.path() / "dest/bin/up"), "code");
    EXPECT_EQ(readFile(dir.path() / "dest/lib/hard.so"), "code");
    EXPECT_EQ(fs::hard_link_count(dir.path() / "dest/lib/real.so"), 2u);
}

TEST(UnpackFile, BrokenArchivesCarryTheLibraryErrorText) {
    ScratchDir dir;
    writeFile(dir.path() / "garbage.tar.gz", std::string(4096, '\x7f'));
    const std::string garbage = unpackError(dir.path() / "garbage.tar.gz", dir.path() / "g");
    EXPECT_EQ(garbage.rfind("Could not unpack file - ", 0), 0u) << garbage;
    EXPECT_GT(garbage.size(), std::string{"Could not unpack file - "}.size());

    // Cut a real gzip archive in the middle of its data.
    writeFile(dir.path() / "tree/big.bin", std::string(1 << 20, 'q'));
    const fs::path full = dir.path() / "full.tar";
    ASSERT_EQ(files_test::run(
                  {"tar", "-cf", full.string(), "-C", (dir.path() / "tree").string(), "big.bin"}),
              0);
    const std::string bytes = readFile(full);
    writeFile(dir.path() / "cut.tar", bytes.substr(0, bytes.size() / 2));
    const std::string cut = unpackError(dir.path() / "cut.tar", dir.path() / "c");
    EXPECT_EQ(cut.rfind("Could not unpack file - ", 0), 0u) << cut;
}

// Only files, folders and links are made: anything else breaks the archive, and nothing of it
// stays behind.
TEST(UnpackFile, DevicesFifosAndSocketsMakeTheArchiveBroken) {
    // A tar cannot hold a socket; a cpio archive, which is read as well, can.
    struct Case {
        std::string label;
        mode_t type;
        int (*format)(archive*);
    };
    const std::vector<Case> cases{
        {"character device", AE_IFCHR, archive_write_set_format_pax_restricted},
        {"block device", AE_IFBLK, archive_write_set_format_pax_restricted},
        {"fifo", AE_IFIFO, archive_write_set_format_pax_restricted},
        {"socket", AE_IFSOCK, archive_write_set_format_cpio_newc}};
    for (const auto& [label, type, format] : cases) {
        SCOPED_TRACE(label);
        ScratchDir dir;
        const fs::path archivePath = dir.path() / "special.tar";
        writeTar(archivePath,
                 {{"Zentravo.app/", Member::Dir, ""},
                  {"Zentravo.app/ok.txt", Member::File, "ok"},
                  {"Zentravo.app/node", Member::Other, "", type}},
                 format);
        const fs::path destination = dir.path() / "dest";
        const std::string error = unpackError(archivePath, destination);
        EXPECT_EQ(error, "Could not unpack file - Zentravo.app/node is not a file, folder or link");
        EXPECT_FALSE(fs::exists(destination));
    }
}

// Modes as installed: set-id and sticky bits and group/other write never reach the disk.
TEST(UnpackFile, ModesLoseSetIdStickyAndSharedWrite) {
    struct Case {
        Member member;
        fs::perms expected;
    };
    const std::vector<Case> cases{
        {{"setuid", Member::File, "x", 04755}, fs::perms(0755)},
        {{"setgid", Member::File, "x", 02711}, fs::perms(0711)},
        {{"open", Member::File, "x", 0777}, fs::perms(0755)},
        {{"shared", Member::File, "x", 0666}, fs::perms(0644)},
        {{"private", Member::File, "x", 0600}, fs::perms(0600)},
        {{"sticky/", Member::Dir, "", 01777}, fs::perms(0755)},
        {{"closed/", Member::Dir, "", 0700}, fs::perms(0700)},
    };
    ScratchDir dir;
    std::vector<Member> members;
    for (const auto& c : cases) {
        members.push_back(c.member);
    }
    members.push_back({"alias", Member::Symlink, "setuid"});
    const fs::path archivePath = dir.path() / "modes.tar";
    writeTar(archivePath, members);
    zentravo::unpackFile(archivePath, dir.path() / "dest");
    for (const auto& c : cases) {
        EXPECT_EQ(fs::symlink_status(dir.path() / "dest" / c.member.name).permissions(), c.expected)
            << c.member.name;
    }
    EXPECT_EQ(fs::read_symlink(dir.path() / "dest/alias"), "setuid");
}

// Runs `body` in a child process of its own (a mount namespace, a size limit may be set up
// there without touching the test); gives its exit code.
int inChild(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        int code = 1;
        try {
            code = body();
        } catch (...) {
            code = 3;
        }
        std::_Exit(code);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Folders that deny their owner a listing or entry, as archives may hold them, unpack with their
// modes, links beside and below them checked all the same, and the tree can be removed again.
// As another user than root, for whom the modes are obeyed.
TEST(UnpackFile, FoldersThatShutTheirOwnerOutUnpackWithTheirModes) {
    ScratchDir dir;
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(dir.path().c_str(), fixture::kNobody, fixture::kNobody), 0);
    }
    const fs::path archivePath = dir.path() / "closed.tar";
    writeTar(archivePath, {{"Resources/", Member::Dir, ""},
                           {"Resources/locked/", Member::Dir, "", 0311},
                           {"Resources/locked/file", Member::File, "inside"},
                           {"Resources/locked/alias", Member::Symlink, "file"},
                           {"Resources/sealed/", Member::Dir, "", 0, true},
                           {"Resources/up", Member::Symlink, "locked/file"}});
    const fs::path dest = dir.path() / "dest";
    const int code = inChild([&] {
        if (!fixture::dropRootToNobody()) {
            return 10;
        }
        try {
            zentravo::unpackFile(archivePath, dest);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "unpackFile: %s\n", e.what());
            return 11;
        }
        const auto mode = [](const fs::path& path) {
            struct stat st {};
            return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
        };
        if (mode(dest / "Resources/locked") != 0311 || mode(dest / "Resources/sealed") != 0) {
            return 12;
        }
        if (readFile(dest / "Resources/up") != "inside" ||
            fs::read_symlink(dest / "Resources/locked/alias") != "file") {
            return 13;
        }
        return zentravo::removal::removeTree(dest) ? 14 : 0;
    });
    EXPECT_EQ(code, 0) << "11: refused, 12: other modes, 13: other content, 14: not removable";
    EXPECT_FALSE(fs::exists(fs::symlink_status(dest)));
}

// A folder the links cannot be checked in (one that was in the destination before, shut to its
// owner) is named in the error.
TEST(UnpackFile, AFolderTheLinksCannotBeCheckedInIsNamed) {
    ScratchDir dir;
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(dir.path().c_str(), fixture::kNobody, fixture::kNobody), 0);
    }
    const fs::path archivePath = dir.path() / "plain.tar";
    writeTar(archivePath, {{"Resources/", Member::Dir, ""}, {"Resources/file", Member::File, "x"}});
    const fs::path dest = fs::canonical(dir.path()) / "dest";
    const fs::path held = dest / "held";
    const int code = inChild([&] {
        if (!fixture::dropRootToNobody() || !fs::create_directories(held) ||
            ::chmod(held.c_str(), 0) != 0) {
            return 10;
        }
        const std::string expected =
            "Could not unpack file - Cannot check the links of " + held.string() + ": ";
        const std::string error = unpackError(archivePath, dest);
        if (!error.starts_with(expected)) {
            std::fprintf(stderr, "unpackFile: %s\n", error.c_str());
            return 11;
        }
        return 0;
    });
    EXPECT_EQ(code, 0) << "11: an error that does not name the folder";
}

// True when thread tid sits in read() on the FIFO and nothing written to it (through writeEnd)
// is left unread: the reader has taken all there was and waits for more.
bool readsEmptyFifo(pid_t tid, const fs::path& fifo, int writeEnd) {
    int unread = -1;
    if (::ioctl(writeEnd, FIONREAD, &unread) != 0 || unread != 0) {
        return false;
    }
    std::ifstream in{"/proc/self/task/" + std::to_string(tid) + "/syscall"};
    long number = -1;
    std::string fdText;
    if (!(in >> number >> fdText) || number != SYS_read) {
        return false;
    }
    std::error_code error;
    const fs::path file = "/proc/self/fd/" + std::to_string(std::stol(fdText, nullptr, 16));
    return fs::read_symlink(file, error) == fifo;
}

// A disk that fills up while an archive is unpacked (another program takes the space after the
// unpacking began): the failed writes fail the unpacking instead of leaving a file with a hole,
// and what was written is removed. The archive arrives through a pipe, so that the disk is
// filled exactly between two members.
TEST(UnpackFile, WritesThatFailOnAFullDiskFail) {
    ScratchDir dir;
    const fs::path archivePath = dir.path() / "whole.tar";
    writeTar(archivePath, {{"small.txt", Member::File, std::string(4096, 's')},
                           {"big.bin", Member::File, std::string(8 << 20, 'b')}});
    const std::string bytes = readFile(archivePath);
    // Everything up to big.bin's data: its header ends 512 bytes after small.txt's data.
    const std::size_t split = bytes.find(std::string(4096, 's')) + 4096 + 512;
    const fs::path pipe = dir.path() / "archive.pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const fs::path mountPoint = dir.path() / "small";
    fs::create_directories(mountPoint);
    const int code = inChild([&] {
        if (!fixture::mountPrivateTmpfs(mountPoint, "size=96m")) {
            return 77;
        }
        const fs::path destination = mountPoint / "dest";
        const pid_t unpacker = ::gettid();
        std::thread feeder{[&] {
            const int fd = ::open(pipe.c_str(), O_WRONLY);
            (void)::write(fd, bytes.data(), split);
            // The unpacker has taken everything up to big.bin's data, so small.txt is written,
            // once it waits in read() on the empty pipe.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes{2};
            while (!readsEmptyFifo(unpacker, pipe, fd)) {
                if (std::chrono::steady_clock::now() > deadline) {
                    std::fprintf(stderr, "the unpacker never waited for big.bin's data\n");
                    std::_Exit(4);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds{5});
            }
            {
                std::ofstream filler{mountPoint / "filler", std::ios::binary};
                const std::string block(1 << 20, 'f');
                while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
                }
            }
            for (std::size_t at = split; at < bytes.size();) {
                const ssize_t wrote = ::write(fd, bytes.data() + at, bytes.size() - at);
                if (wrote <= 0) {
                    break;
                }
                at += static_cast<std::size_t>(wrote);
            }
            ::close(fd);
        }};
        const std::string error = unpackError(pipe, destination);
        feeder.join();
        if (error.rfind("Could not unpack file - big.bin: ", 0) != 0) {
            std::fprintf(stderr, "unexpected: %s\n", error.c_str());
            return 5;
        }
        return fs::exists(destination) ? 6 : 0;
    });
    if (code == 77) {
        GTEST_SKIP() << "cannot mount a small file system here";
    }
    EXPECT_EQ(code, 0);
}

// A small file system as the destination: an archive that needs more than its free space (a
// compression bomb, a package that does not fit) is refused before it fills it, and the space
// taken is given back.
TEST(UnpackFile, StopsAtTheFreeSpaceOfTheDestination) {
    ScratchDir dir;
    // 256 MB of zeros in a gzip archive of some 250 KB, and 40 MB of noise that does not fit.
    const fs::path bomb = dir.path() / "bomb.tar.gz";
    {
        archive* a = archive_write_new();
        archive_write_set_format_pax_restricted(a);
        archive_write_add_filter_gzip(a);
        ASSERT_EQ(archive_write_open_filename(a, bomb.c_str()), ARCHIVE_OK);
        archive_entry* e = archive_entry_new();
        archive_entry_set_pathname(e, "zeros.bin");
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_perm(e, 0644);
        archive_entry_set_size(e, la_int64_t{256} << 20);
        archive_write_header(a, e);
        const std::string block(1 << 20, '\0');
        for (int i = 0; i < 256; ++i) {
            archive_write_data(a, block.data(), block.size());
        }
        archive_entry_free(e);
        archive_write_close(a);
        archive_write_free(a);
    }
    std::string noise = fixture::incompressibleBytes(40 << 20);
    const fs::path large = dir.path() / "large.tar";
    writeTar(large, {{"a.txt", Member::File, "a"}, {"noise.bin", Member::File, noise}});
    noise.clear();

    const fs::path mountPoint = dir.path() / "small";
    fs::create_directories(mountPoint);
    for (const fs::path& archivePath : {bomb, large}) {
        SCOPED_TRACE(archivePath.filename().string());
        const int code = inChild([&] {
            // A mount namespace of its own: the file system goes away with this child.
            if (!fixture::mountPrivateTmpfs(mountPoint, "size=96m")) {
                return 77;
            }
            struct statvfs before {};
            ::statvfs(mountPoint.c_str(), &before);
            const std::string error = unpackError(archivePath, mountPoint / "dest");
            struct statvfs after {};
            ::statvfs(mountPoint.c_str(), &after);
            if (error.rfind("Could not unpack file - The archive unpacks to more than", 0) != 0) {
                std::fprintf(stderr, "unexpected: %s\n", error.c_str());
                return 5;
            }
            if (fs::exists(mountPoint / "dest") || after.f_bfree != before.f_bfree) {
                return 6;
            }
            return 0;
        });
        if (code == 77) {
            GTEST_SKIP() << "cannot mount a small file system here";
        }
        EXPECT_EQ(code, 0);
    }
}

// --- small helpers ---------------------------------------------------------------------------

TEST(PathHelpers, ParentPathGoesFourLevelsUp) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"/Applications/Zentravo.app/Contents/MacOS/launcher", "/Applications"},
        {"/opt/Zentravo.app/Contents/MacOS/launcher", "/opt"},
        {"/Zentravo.app/Contents/MacOS/launcher", "/"},
        {"Zentravo.app/Contents/MacOS/launcher", ""},
        {"Contents/MacOS/launcher", ""},
        {"/MacOS/launcher", ""},
        {"", ""},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(zentravo::getParentPath(input), fs::path{expected}) << input;
    }
}

TEST(PathHelpers, ExecutablePathIsThisTestProgram) {
    const fs::path self = zentravo::getExecutablePath();
    EXPECT_TRUE(self.is_absolute());
    EXPECT_TRUE(fs::equivalent(self, "/proc/self/exe"));
}

TEST(PathHelpers, Utf8PathsRoundTripByteForByte) {
    const std::string text = "/tmp/Zentravo Ü 日本/ä\xff.app";
    EXPECT_EQ(zentravo::pathToUtf8(zentravo::pathFromUtf8(text)), text);
}

TEST(TextHelpers, ToLowerMapsAsciiOnly) {
    EXPECT_EQ(zentravo::toLower("macOS"), "macos");
    EXPECT_EQ(zentravo::toLower("Linux X86_64"), "linux x86_64");
    EXPECT_EQ(zentravo::toLower("ÄÖ"), "ÄÖ");
    EXPECT_EQ(zentravo::toLower(""), "");
}

TEST(TextHelpers, CurrentTimeIsEpochMilliseconds) {
    const auto before = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    const std::int64_t now = zentravo::utils::getCurrentTime();
    const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
}

}  // namespace
