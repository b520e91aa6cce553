// The Linux registry file itself, through the platform layer that the module and host programs
// share: a reader that survives whatever the file holds, writes that keep what they do not own,
// and writers in several processes that lose nothing.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/support/file_text.h"

namespace {

namespace fs = std::filesystem;
using platform::KeyRead;
using namespace std::string_literals;

using test_support::ReadFile;
using test_support::WriteFile;

class RegistryFile : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("QM4720_REGISTRY")) saved_ = old;
        std::string pattern = (fs::temp_directory_path() / "qm4720-file-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        registry_ = folder_ / "registry";
        setenv("QM4720_REGISTRY", registry_.c_str(), 1);
    }
    void TearDown() override {
        if (saved_) {
            setenv("QM4720_REGISTRY", saved_->c_str(), 1);
        } else {
            unsetenv("QM4720_REGISTRY");
        }
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    // The value read for `key`, or "<missing>" / "<failed>".
    static std::string Read(const std::string& key) {
        std::string value = "<untouched>";
        switch (platform::ReadClassRootValue(key, value)) {
            case KeyRead::found:
                return value;
            case KeyRead::missing:
                return "<missing>";
            case KeyRead::failed:
                return "<failed>";
        }
        return "<?>";
    }

    fs::path folder_;
    fs::path registry_;
    std::optional<std::string> saved_;
};

TEST_F(RegistryFile, NoFileMeansNoKeys) {
    EXPECT_EQ(Read("QM4720.QM4720Pro"), "<missing>");
    EXPECT_FALSE(fs::exists(registry_));
}

TEST_F(RegistryFile, ReaderToleratesGarbageCarriageReturnsAndAMissingFinalLineFeed) {
    WriteFile(registry_, ("\x01\x02 binary junk \xff\n"
                          "\tvalue without a key\n"
                          "#Commented\tout\n"
                          "\n"
                          "no tab on this line\n"
                          "Top\\Middle\\Leaf\tleaf value\r\n"
                          "With\\Tab\tleft\tright\n"
                          "Embedded\tnul\0byte\n"
                          "Dup\tfirst\n"
                          "dup\tsecond\n"
                          "Last\tcut off here"s));
    struct Case {
        const char* key;
        std::string expected;
    } const cases[] = {
        {"Top\\Middle\\Leaf", "leaf value"},
        {"top\\middle\\LEAF", "leaf value"},
        {"Top\\Middle", ""},  // a key above another exists with no value
        {"Top", ""},
        {"Top\\Mid", "<missing>"},
        {"With\\Tab", "left\tright"},
        {"Embedded", std::string("nul\0byte", 8)},
        {"Dup", "first"},
        {"Last", "cut off here"},
        {"#Commented", "<missing>"},
        {"no tab on this line", "<missing>"},
        {"", "<missing>"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Read(c.key), c.expected) << c.key;
    }
}

TEST_F(RegistryFile, ReaderSurvivesAFileCutAnywhere) {
    const std::string whole = "# header\nAlpha\tone\nBeta\\Gamma\ttwo\nDelta\tthree\n";
    for (std::size_t length = 0; length <= whole.size(); ++length) {
        WriteFile(registry_, whole.substr(0, length));
        const std::string alpha = Read("Alpha");
        EXPECT_TRUE(alpha == "<missing>" || std::string("one").starts_with(alpha)) << length;
        const std::string delta = Read("Delta");
        EXPECT_TRUE(delta == "<missing>" || std::string("three").starts_with(delta)) << length;
    }
}

TEST_F(RegistryFile, AWriteReplacesItsKeyInPlaceAndKeepsEveryOtherLine) {
    WriteFile(registry_,
              "# kept comment\n"
              "Alpha\told\n"
              "garbage line\n"
              "Beta\tb\n"
              "ALPHA\tduplicate\n"
              "Gamma\tno final line feed");
    ASSERT_TRUE(platform::WriteClassRootValue("alpha", "new"));
    EXPECT_EQ(ReadFile(registry_),
              "# kept comment\n"
              "Alpha\tnew\n"
              "garbage line\n"
              "Beta\tb\n"
              "Gamma\tno final line feed\n");
    ASSERT_TRUE(platform::WriteClassRootValue("Delta\\Epsilon", "appended"));
    EXPECT_EQ(Read("Delta\\Epsilon"), "appended");
    EXPECT_EQ(Read("Delta"), "");
    EXPECT_EQ(Read("Gamma"), "no final line feed");
}

TEST_F(RegistryFile, RefusesWhatTheLineFormatCannotHoldAndChangesNothing) {
    ASSERT_TRUE(platform::WriteClassRootValue("Alpha", "one"));
    const std::string before = ReadFile(registry_);
    EXPECT_FALSE(platform::WriteClassRootValue("Alpha", "two\nBeta\tinjected"));
    EXPECT_FALSE(platform::WriteClassRootValue("Alpha", "carriage\rreturn"));
    EXPECT_FALSE(platform::WriteClassRootValue("Key\twith tab", "x"));
    EXPECT_FALSE(platform::WriteClassRootValue("#comment", "x"));
    EXPECT_FALSE(platform::WriteClassRootValue("", "x"));
    EXPECT_EQ(ReadFile(registry_), before);
}

TEST_F(RegistryFile, ReplacementKeepsThePermissionsOfTheFile) {
    ASSERT_TRUE(platform::WriteClassRootValue("Alpha", "one"));
    ASSERT_EQ(chmod(registry_.c_str(), 0600), 0);
    ASSERT_TRUE(platform::WriteClassRootValue("Alpha", "two"));
    struct stat info {};
    ASSERT_EQ(stat(registry_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(Read("Alpha"), "two");
}

TEST_F(RegistryFile, AnUnreadableRegistryIsNeverTakenForAnEmptyOne) {
    // A folder where the file should be: neither read as empty nor overwritten.
    fs::create_directory(registry_);
    EXPECT_EQ(Read("Alpha"), "<failed>");
    EXPECT_FALSE(platform::WriteClassRootValue("Alpha", "one"));
    EXPECT_TRUE(fs::is_directory(registry_));
}

TEST_F(RegistryFile, WritersInSeveralProcessesLoseNoEntry) {
    constexpr int kProcesses = 4;
    constexpr int kKeysEach = 30;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            bool ok = true;
            for (int k = 0; k < kKeysEach; ++k) {
                const std::string key = "Writer" + std::to_string(p) + "\\Key" + std::to_string(k);
                ok = platform::WriteClassRootValue(key, std::to_string(p * 1000 + k)) && ok;
            }
            _exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int p = 0; p < kProcesses; ++p) {
        for (int k = 0; k < kKeysEach; ++k) {
            const std::string key = "Writer" + std::to_string(p) + "\\Key" + std::to_string(k);
            EXPECT_EQ(Read(key), std::to_string(p * 1000 + k)) << key;
        }
    }
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(folder_)) {
        names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"registry", "registry.lock"}));
}

TEST_F(RegistryFile, TheNextWriteRepairsAFileCutAnywhere) {
    const std::string whole = "# header\nAlpha\tone\nBeta\\Gamma\ttwo\nDelta\tthree\n";
    for (std::size_t length = 0; length <= whole.size(); ++length) {
        WriteFile(registry_, whole.substr(0, length));
        ASSERT_TRUE(platform::WriteClassRootValue("Delta", "four")) << length;
        const std::string repaired = ReadFile(registry_);
        ASSERT_FALSE(repaired.empty());
        EXPECT_EQ(repaired.back(), '\n') << length;
        EXPECT_EQ(Read("Delta"), "four") << length;
        // What was whole before the cut reads as it did.
        if (length >= whole.find("Beta")) {
            EXPECT_EQ(Read("Alpha"), "one") << length;
        }
        if (length >= whole.find("Delta")) {
            EXPECT_EQ(Read("Beta\\Gamma"), "two") << length;
        }
    }
}

// The names in the registry's folder.
std::vector<std::string> FolderNames(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(folder)) {
        names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(RegistryFile, AWriterKilledAnywhereLeavesTheOldOrTheNewFile) {
    WriteFile(registry_, "# header\nAlpha\tone\nBeta\ttwo\n");
    std::mt19937 random(9);
    for (int round = 0; round < 60; ++round) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Rewrites the file over and over until it is killed.
            for (long i = 0;; ++i) platform::WriteClassRootValue("Counter", std::to_string(i));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);

        // Every line whole: the header, the two entries, and at most one counter.
        const std::string content = ReadFile(registry_);
        ASSERT_FALSE(content.empty()) << round;
        ASSERT_EQ(content.back(), '\n') << round;
        EXPECT_EQ(Read("Alpha"), "one") << round;
        EXPECT_EQ(Read("Beta"), "two") << round;
        const std::string counter = Read("Counter");
        EXPECT_TRUE(counter == "<missing>" ||
                    (!counter.empty() && std::all_of(counter.begin(), counter.end(),
                                                     [](char c) { return c >= '0' && c <= '9'; })))
            << round << ": " << counter;
    }
    // The next write leaves nothing of the killed writers behind.
    ASSERT_TRUE(platform::WriteClassRootValue("Counter", "done"));
    EXPECT_EQ(Read("Counter"), "done");
    EXPECT_EQ(FolderNames(folder_), (std::vector<std::string>{"registry", "registry.lock"}));
}

// A process id that surely belongs to no process: that of a child already reaped.
pid_t DeadProcessId() {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    int status = 0;
    waitpid(pid, &status, 0);
    return pid;
}

TEST_F(RegistryFile, AWriteRemovesOnlyTheTemporaryFilesOfWritersThatDied) {
    WriteFile(registry_, "Alpha\tone\n");
    const pid_t dead = DeadProcessId();
    ASSERT_GT(dead, 0);
    ASSERT_NE(kill(dead, 0), 0);
    const std::string deadTag = ".registry.qm4720-tmp." + std::to_string(dead) + ".";
    const std::string liveTag = ".registry.qm4720-tmp." + std::to_string(getpid()) + ".";
    struct Case {
        std::string name;
        bool kept;
    } const cases[] = {
        // What a writer killed between creating its temporary file and renaming it leaves.
        {deadTag + "Ab3dE9", false},
        // A writer still at work, perhaps on a file system where the lock does not reach.
        {liveTag + "Ab3dE9", true},
        // The user's own files, however much they look like ours.
        {".registry.backup", true},
        {".registry.old123", true},
        {".registry.notes", true},
        {".registry.qm4720-tmp..Ab3dE9", true},
        {".registry.qm4720-tmp.x" + std::to_string(dead) + ".Ab3dE9", true},
        {deadTag + "Ab3dE9.bak", true},
        {deadTag + "Ab3", true},
        // Another registry's temporary file in the same folder.
        {".other.qm4720-tmp." + std::to_string(dead) + ".Ab3dE9", true},
    };
    std::vector<std::string> expected = {"registry", "registry.lock"};
    for (const Case& c : cases) {
        WriteFile(folder_ / c.name, "Alpha\tone\nBeta\ttw");
        if (c.kept) expected.push_back(c.name);
    }
    std::sort(expected.begin(), expected.end());
    ASSERT_TRUE(platform::WriteClassRootValue("Beta", "two"));
    EXPECT_EQ(FolderNames(folder_), expected);
    EXPECT_EQ(Read("Beta"), "two");
}

// A registry path that is a symbolic link: the entries go to the file at the end of the link
// chain, which is replaced in its own folder, and the link stays as it was.
TEST_F(RegistryFile, WritesGoThroughSymbolicLinksToTheirTarget) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> links;  // link name, what it holds
        std::string target;                                      // relative to the case folder
        bool targetExists;
    } const cases[] = {
        {"absolute", {{"registry", "@/data/target"}}, "data/target", true},
        {"relative", {{"registry", "data/target"}}, "data/target", true},
        {"chain", {{"registry", "hop"}, {"hop", "@/data/../data/target"}}, "data/target", true},
        {"dangling", {{"registry", "data/new"}}, "data/new", false},
        {"dangling into a missing folder", {{"registry", "more/new"}}, "more/new", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path here = folder_ / c.name;
        fs::create_directories(here / "data");
        // "@" stands for the case's folder, which makes a link absolute.
        std::vector<std::pair<fs::path, fs::path>> links;
        for (const auto& [link, content] : c.links) {
            links.emplace_back(here / link, content.starts_with("@")
                                                ? here.string() + content.substr(1)
                                                : content);
            fs::create_symlink(links.back().second, links.back().first);
        }
        if (c.targetExists) WriteFile(here / c.target, "Alpha\tone\n");
        setenv("QM4720_REGISTRY", (here / "registry").c_str(), 1);

        ASSERT_TRUE(platform::WriteClassRootValue("Beta", "two"));
        for (const auto& [link, to] : links) {
            ASSERT_TRUE(fs::is_symlink(fs::symlink_status(link))) << link;
            EXPECT_EQ(fs::read_symlink(link), to) << link;
        }
        const std::string written = ReadFile(here / c.target);
        EXPECT_NE(written.find("Beta\ttwo\n"), std::string::npos) << written;
        EXPECT_EQ(written.find("Alpha\tone\n") != std::string::npos, c.targetExists);
        EXPECT_EQ(Read("Beta"), "two");

        // Writers through the link and straight to the target share the target's lock.
        const fs::path lock = fs::path(here / c.target).string() + ".lock";
        EXPECT_TRUE(fs::exists(lock));
        EXPECT_FALSE(fs::exists(here / "registry.lock"));
        setenv("QM4720_REGISTRY", (here / c.target).c_str(), 1);
        ASSERT_TRUE(platform::WriteClassRootValue("Gamma", "three"));
        setenv("QM4720_REGISTRY", (here / "registry").c_str(), 1);
        EXPECT_EQ(Read("Gamma"), "three");
        EXPECT_EQ(Read("Beta"), "two");

        // Nothing temporary is left beside the link or the target.
        for (const auto& item : fs::recursive_directory_iterator(here)) {
            EXPECT_FALSE(item.path().filename().string().starts_with(".")) << item.path();
        }
    }
}

TEST_F(RegistryFile, ALinkThatLoopsIsRefusedAndLeftAlone) {
    fs::create_symlink("hop", registry_);
    fs::create_symlink("registry", folder_ / "hop");
    EXPECT_FALSE(platform::WriteClassRootValue("Alpha", "one"));
    EXPECT_EQ(Read("Alpha"), "<failed>");
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(registry_)));
    EXPECT_EQ(fs::read_symlink(registry_), "hop");
}

}  // namespace
