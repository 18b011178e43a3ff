// A program as a child process of a test: spawned with its standard input
// and output on pipes when asked, read line by line, killed at will.
#ifndef PLATFORM_TESTS_CHILD_PROCESS_H
#define PLATFORM_TESTS_CHILD_PROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char **environ;

namespace testsupport {

struct Child {
    pid_t pid = -1;
    int stdinFd = -1;
    int stdoutFd = -1;
};

inline Child spawnChild(const std::string &program, const std::vector<std::string> &args, bool pipeStdin,
                        bool pipeStdout = false)
{
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (pipeStdin) {
        if (::pipe2(in, O_CLOEXEC) != 0) return {};
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (pipeStdout) {
        if (::pipe2(out, O_CLOEXEC) != 0) return {};
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    }
    Child child;
    if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pipeStdin) {
        ::close(in[0]);
        child.stdinFd = in[1];
    }
    if (pipeStdout) {
        ::close(out[1]);
        child.stdoutFd = out[0];
    }
    return child;
}

// A child with no file it writes allowed past `bytes` (a write past it fails
// with EFBIG, SIGXFSZ ignored, as on a disk too full for larger files),
// standard input from /dev/null and standard output on a pipe.
inline Child spawnChildWithFileLimit(const std::string &program, const std::vector<std::string> &args, rlim_t bytes)
{
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2] = {-1, -1};
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull < 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        if (devNull >= 0) ::close(devNull);
        return {};
    }
    Child child;
    child.pid = ::fork();
    if (child.pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        const rlimit limit{bytes, bytes};
        ::signal(SIGXFSZ, SIG_IGN);
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0 || ::dup2(devNull, 0) < 0 || ::dup2(out[1], 1) < 0) ::_exit(127);
        ::execve(argv[0], argv.data(), environ);
        ::_exit(127);
    }
    ::close(devNull);
    ::close(out[1]);
    if (child.pid < 0) {
        ::close(out[0]);
        return {};
    }
    child.stdoutFd = out[0];
    return child;
}

// The exit status, or 128 + the signal that ended the child.
inline int waitExit(pid_t pid)
{
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Whole lines read from a child's standard output.
class LineReader {
public:
    explicit LineReader(int fd) : mFd(fd) {}

    // Reads what arrives within `seconds`; false once the output has ended.
    bool readFor(double seconds)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            const auto left = std::chrono::duration<double>(until - std::chrono::steady_clock::now()).count();
            if (left <= 0) return true;
            pollfd p{mFd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
            char chunk[4096];
            const ssize_t n = ::read(mFd, chunk, sizeof chunk);
            if (n <= 0) return false;
            mBuffer.append(chunk, static_cast<std::size_t>(n));
            for (std::size_t eol; (eol = mBuffer.find('\n')) != std::string::npos; mBuffer.erase(0, eol + 1)) {
                mLines.push_back(mBuffer.substr(0, eol));
            }
        }
    }
    // Reads until a line equal to `line` has arrived; false when the output
    // ends first or it does not come within `limitSeconds`.
    bool waitFor(const std::string &line, double limitSeconds)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(limitSeconds);
        for (std::size_t seen = 0;;) {
            for (; seen < mLines.size(); ++seen) {
                if (mLines[seen] == line) return true;
            }
            if (std::chrono::steady_clock::now() >= until || !readFor(0.05)) {
                for (; seen < mLines.size(); ++seen) {
                    if (mLines[seen] == line) return true;
                }
                return false;
            }
        }
    }
    // Everything up to the end of the output.
    void readToEnd()
    {
        while (readFor(1.0)) {
        }
    }
    [[nodiscard]] const std::vector<std::string> &lines() const { return mLines; }

private:
    int mFd;
    std::string mBuffer;
    std::vector<std::string> mLines;
};

} // namespace testsupport

#endif // PLATFORM_TESTS_CHILD_PROCESS_H
