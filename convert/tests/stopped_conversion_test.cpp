// SPDX-License-Identifier: MIT
// Conversions stopped before each of their system calls, in child processes
// traced with ptrace, so that a kill, or a swap of the output for a link or a
// folder, lands between two steps.
#include "scratch_folder.h"
#include "velmora/convert_file.h"

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <iostream>
#include <stdio.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velmora::testing_support {
namespace {

constexpr int kKilled = -1;

// Converts in.txt into out.txt of `folder` (temporary folder: tmp/) in a child
// process: its failure number (0 for none), or kKilled. `beforeCall(n)` runs
// before its n-th system call and says whether to kill it there.
int Convert(const fs::path& folder, const std::function<bool(int)>& beforeCall = {}) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("TMPDIR", (folder / "tmp").c_str(), 1);
        if (beforeCall) {
            ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
            ::raise(SIGSTOP); // until the parent traces it
        }
        try {
            ConvertFile(folder / "in.txt", folder / "out.txt");
        } catch (const Failure& failure) {
            ::_exit(static_cast<int>(failure.number()));
        }
        ::_exit(0);
    }
    int status = 0;
    for (int call = 0; ::waitpid(child, &status, 0) == child;) {
        if (!WIFSTOPPED(status)) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : kKilled;
        }
        int signal = WSTOPSIG(status); // passed on, unless it is the tracer's own
        if (signal == (SIGTRAP | 0x80)) {
            __ptrace_syscall_info info{};
            ::ptrace(PTRACE_GET_SYSCALL_INFO, child, sizeof info, &info);
            if (info.op == PTRACE_SYSCALL_INFO_ENTRY && beforeCall(++call)) {
                ::kill(child, SIGKILL);
            }
            signal = 0;
        } else if (signal == SIGSTOP && call == 0) {
            ::ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
            signal = 0;
        }
        ::ptrace(PTRACE_SYSCALL, child, nullptr, signal);
    }
    ADD_FAILURE() << "lost the child process";
    return kKilled;
}

// What the file system of `folder` offers, found by trying it there: these tests run on
// each file system a user may keep files on (FAT and exFAT have no links).
struct FileSystemOffers {
    bool hardLinks, symbolicLinks, namelessFiles, renameFlags;

    explicit FileSystemOffers(const fs::path& folder) {
        const fs::path file = folder / "offers";
        PutBytes(file, "");
        std::error_code refused;
        hardLinks = HardLinked(file, folder / "hard");
        fs::create_symlink(file, folder / "symbolic", refused);
        symbolicLinks = !refused;
        const int nameless = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        namelessFiles = nameless >= 0;
        ::close(nameless);
        renameFlags = ::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, (folder / "renamed").c_str(),
                                  RENAME_NOREPLACE) == 0;
    }
};

struct Case {
    const char* name;
    std::size_t oldSize, newSize; // oldSize 0: no output yet
    bool hardLinked;              // rewritten in place behind a backup
};

struct Tally {
    int runs = 0, torn = 0, partial = 0, leftBehind = 0;
    bool inPlace = false; // a conversion that ran through kept the output's inode
};

ino_t InodeOf(const fs::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_ino;
}

// Runs `convert` on a fresh copy of the case and counts an output neither wholly old nor wholly
// new (allowed only beside a whole backup; for a new output, part of the new content where the
// file system can name no complete file without risking replacing another), and anything left:
// a whole backup of the output, or the new content, whole where new files can be nameless.
void RunCase(const Case& c, const FileSystemOffers& offers, Tally& tally,
             const std::function<int(const fs::path&)>& convert) {
    const ScratchFolder folder;
    const std::string old = c.oldSize > 0 ? std::string(c.oldSize, 'o') : "(none)";
    PutBytes(folder / "in.txt", std::string(2 * c.newSize, '0'));
    fs::create_directory(folder / "tmp");
    if (c.oldSize > 0) {
        PutBytes(folder / "out.txt", old);
    }
    if (c.hardLinked && !HardLinked(folder / "out.txt", folder / "link")) {
        return; // not counted
    }
    const ino_t inode = InodeOf(folder / "out.txt");
    const int outcome = convert(folder.path);
    const std::string out = Bytes(folder / "out.txt"), converted(c.newSize, '\0');
    EXPECT_TRUE(outcome == kKilled || (outcome == 0 && out == converted))
        << c.name << ": failure " << outcome << ", or a success without the converted output";
    const bool partial = c.oldSize == 0 && !offers.hardLinks && !offers.renameFlags &&
                         out != converted && converted.starts_with(out);
    const bool torn = out != converted && out != old && !partial;
    bool backupKept = false, leftSomething = false;
    for (const fs::path& place : {folder.path, folder / "tmp"}) {
        for (const auto& entry : fs::directory_iterator(place)) {
            const std::string name = entry.path().filename().string();
            if (name != "in.txt" && name != "out.txt" && name != "link" && name != "tmp" &&
                !name.starts_with(".nfs")) { // NFS removes a file closed by the kill after it
                const bool backup = name.ends_with(".bak");
                const std::string left = Bytes(entry.path());
                if (left == "(none)") {
                    continue; // removed, though an SMB share shows it until the kill closes it
                }
                leftSomething = true;
                // Named while it is written: part of the new content, or of a backup.
                const bool begun = !offers.namelessFiles && !backup &&
                                   (converted.starts_with(left) || old.starts_with(left));
                EXPECT_TRUE(left == (backup ? old : converted) || begun) << c.name << ": " << name;
                backupKept |= backup;
            }
        }
    }
    EXPECT_TRUE(!torn || backupKept) << c.name << ": torn, and no backup";
    tally = {tally.runs + 1, tally.torn + torn, tally.partial + partial,
             tally.leftBehind + leftSomething,
             outcome == 0 && inode != 0 && InodeOf(folder / "out.txt") == inode};
}

const Case kCases[] = {
    {"own output, shrinking", 16384, 8192, false},
    {"own output, growing", 4096, 16383, false},
    {"new output", 0, 8192, false},
    {"hard-linked output", 16384, 8192, true},
};

TEST(StoppedConversion, NeverTearsTheOutputWhereverItIsKilled) {
    const ScratchFolder here;
    const FileSystemOffers offers(here.path);
    for (const Case& c : kCases) {
        int calls = 0;
        Tally untouched, killed;
        RunCase(c, offers, untouched, [&](const fs::path& folder) {
            return Convert(folder, [&](int call) {
                calls = call;
                return false; // counts the calls, kills at none
            });
        });
        if (untouched.runs == 0) {
            std::cout << c.name << ": not run, the file system has no hard links\n";
            continue;
        }
        for (int killAt = 1; killAt <= calls; ++killAt) {
            RunCase(c, offers, killed, [&](const fs::path& folder) {
                return Convert(folder, [&](int call) { return call == killAt; });
            });
        }
        std::cout << c.name << ", killed before each system call: " << killed.runs << " kills, "
                  << killed.torn << " torn, " << killed.partial << " partial, " << killed.leftBehind
                  << " left behind\n";
        EXPECT_TRUE(untouched.inPlace || killed.torn == 0) << c.name << ": replaced whole, torn";
    }
}

enum class Swap { ForALink, ForAFolder, Removed, Appears };

// What another program does to out.txt in `folder`, in one step as the conversion sees
// it (it is stopped): puts the dangling link "swap" (to "target"), a folder or its own
// file "theirs" in its place, or removes it.
void SwapOutput(const fs::path& folder, Swap swap) {
    const fs::path out = folder / "out.txt";
    if (swap == Swap::ForALink || swap == Swap::Appears) {
        fs::rename(folder / (swap == Swap::ForALink ? "swap" : "theirs"), out);
        return;
    }
    fs::remove(out);
    std::error_code lingers; // an SMB share keeps a removed file that is open until it is closed
    if (swap == Swap::ForAFolder) {
        fs::create_directory(out, lingers);
    }
}

// The output swapped before each system call in turn. A success is reported only if its
// name holds the converted content, or held it already when the swap came; a hard-linked
// output's other name keeps its old content unless it succeeded; nothing is created at a
// link's target, nor left in a removed output's place (where a mode can show it is ours);
// a file that appears is kept.
TEST(StoppedConversion, OutputSwappedBeforeAnyCallIsNeverFollowedNorFalselyWritten) {
    const ScratchFolder here;
    const FileSystemOffers offers(here.path);
    // What happens, when, and to which output: own, "linked" (hard-linked) or "new".
    const std::tuple<const char*, Swap, std::string> kSwaps[] = {
        {"own output swapped for a link", Swap::ForALink, "own"},
        {"own output swapped for a folder", Swap::ForAFolder, "own"},
        {"own output removed", Swap::Removed, "own"},
        {"hard-linked output swapped for a link", Swap::ForALink, "linked"},
        {"hard-linked output swapped for a folder", Swap::ForAFolder, "linked"},
        {"hard-linked output removed", Swap::Removed, "linked"},
        {"new output, another file appears", Swap::Appears, "new"}};
    for (const auto& [name, swap, output] : kSwaps) {
        const bool linked = output == "linked";
        if ((linked && !offers.hardLinks) || (swap == Swap::ForALink && !offers.symbolicLinks)) {
            std::cout << name << ": not run, the file system has no such link\n";
            continue;
        }
        int calls = 0, refused = 0, created = 0;
        for (int swapAt = 1; swapAt == 1 || swapAt <= calls; ++swapAt) {
            const ScratchFolder folder;
            const fs::path out = folder / "out.txt";
            PutBytes(folder / "in.txt", "4E4E");
            if (output != "new") {
                PutBytes(out, "old");
            }
            if (linked) {
                fs::create_hard_link(out, folder / "link");
            }
            if (swap == Swap::ForALink) {
                fs::create_symlink(folder / "target", folder / "swap");
            }
            PutBytes(folder / "theirs", "theirs");
            bool done = true; // the conversion was done before any swap came
            const int outcome = Convert(folder.path, [&](int call) {
                if (call == swapAt) {
                    // A file just linked on an SMB share may not open at once (EINVAL).
                    const std::string there = Bytes(out);
                    done = there == "NN" || (there == "(none)" && fs::exists(out));
                    SwapOutput(folder.path, swap);
                }
                calls = std::max(calls, call);
                return false;
            });
            EXPECT_TRUE(outcome != 0 || done || Bytes(out) == "NN")
                << name << ", swap " << swapAt << ": a success, and no converted output";
            EXPECT_FALSE(swap == Swap::Removed && outcome != 0 &&
                         fs::status(out).permissions() == fs::perms::none)
                << name << ", swap " << swapAt << ": the open's empty file was left in its place";
            const std::string kept = Bytes(linked ? folder / "link" : out);
            EXPECT_TRUE(!linked || done || kept == "old" || (outcome == 0 && kept == "NN"))
                << name << ", swap " << swapAt << ": its other name holds " << kept;
            if (swap == Swap::Appears) {
                // Before the look at the output, that file is the output; after it, it stays.
                EXPECT_TRUE(outcome == 0 ? done || refused == 0 : kept == "theirs")
                    << name << ", swap " << swapAt << ": " << kept << " took its place";
            }
            refused += outcome == static_cast<int>(FailureNumber::File);
            created += fs::exists(folder / "target");
        }
        std::cout << name << ": " << calls << " swaps, " << refused << " refused, " << created
                  << " created at the link's target\n";
        EXPECT_EQ(created, 0) << name;
        EXPECT_GT(refused, 0) << name << ": no swap was refused";
    }
}

} // namespace
} // namespace velmora::testing_support
