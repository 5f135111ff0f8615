#pragma once
// For the tests that kill the built program while it writes: file contents that tell their origin
// at every offset, and a watch on the program's open files through /proc (Linux only) that stops
// and kills it in the middle of a write.

#include "testfiles.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <set>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace rostrel::testing::crash {

// Bytes that tell their origin at every offset: a cut or a splice of two of them matches neither.
inline QByteArray pattern(char tag, qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(tag + (i / 4096) % 23);
    return bytes;
}

inline QByteArray readOrMissing(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// --- Looking at another process through /proc (plain system calls: this runs in a busy loop) ---

inline std::string procPath(pid_t pid, const char* rest)
{
    return "/proc/" + std::to_string(pid) + rest;
}

inline bool readSmallFile(const std::string& path, std::string& text)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[1024];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (n <= 0)
        return false;
    text.assign(buffer, static_cast<size_t>(n));
    return true;
}

// The state letter of /proc/<pid>/stat ('R', 'S', 'T' stopped, 'Z' ended); '?' when gone.
inline char processState(pid_t pid)
{
    std::string stat;
    if (!readSmallFile(procPath(pid, "/stat"), stat))
        return '?';
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : '?';
}

// "<fd> <target>" for every file the process holds open for writing below the folder (given with
// a trailing slash). Files it reads there, such as the settings at start-up, do not count.
inline std::set<std::string> openWrites(pid_t pid, const std::string& folder)
{
    std::set<std::string> found;
    const std::string fdDir = procPath(pid, "/fd");
    DIR* dir = ::opendir(fdDir.c_str());
    if (!dir)
        return found;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[4096];
        const ssize_t n = ::readlink((fdDir + '/' + entry->d_name).c_str(), target, sizeof target);
        if (n <= 0 || std::string_view(target, static_cast<size_t>(n)).substr(0, folder.size()) != folder)
            continue;
        std::string info;
        if (!readSmallFile(procPath(pid, "/fdinfo/") + entry->d_name, info))
            continue;
        const size_t flags = info.find("flags:");
        if (flags == std::string::npos)
            continue;
        const long mode = std::strtol(info.c_str() + flags + 6, nullptr, 8) & O_ACCMODE;
        if (mode != O_RDONLY)
            found.insert(entry->d_name + (' ' + std::string(target, static_cast<size_t>(n))));
    }
    ::closedir(dir);
    return found;
}

// Stops the process, tells whether it was writing below one of the folders at that moment, and
// kills it.
inline bool stopLookAndKill(pid_t pid, std::initializer_list<std::string> folders)
{
    using namespace std::chrono_literals;
    ::kill(pid, SIGSTOP);
    const auto giveUp = std::chrono::steady_clock::now() + 500ms;
    char state = processState(pid);
    while (state != 'T' && state != 'Z' && state != '?' && std::chrono::steady_clock::now() < giveUp)
        state = processState(pid);
    bool writing = false;
    for (const std::string& folder : folders)
        writing = writing || (state == 'T' && !openWrites(pid, folder).empty());
    ::kill(pid, SIGKILL);
    return writing;
}

// Watches a program started with ROSTREL_TEST_STOP_IN_WRITES, which stops itself twice in every
// write (half-way through the bytes, and before the rename). At each of those stops below the
// folder it lets the program go on, until the (n+1)-th, where it kills it.
class WriteKiller
{
public:
    WriteKiller(pid_t pid, std::string folder, int stopsToLetPass)
        : m_thread([=, this] { run(pid, folder, stopsToLetPass); })
    { }
    ~WriteKiller()
    {
        m_stop = true;
        m_thread.join();
    }
    bool landedInWrite() const { return m_inWrite; }

private:
    void run(pid_t pid, const std::string& folder, int stopsToLetPass)
    {
        using namespace std::chrono_literals;
        while (!m_stop) {
            // Each stop of the child is reported here once; its exit is left to QProcess.
            siginfo_t info {};
            if (::waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WNOHANG) != 0)
                return;
            if (info.si_pid != pid) {
                std::this_thread::sleep_for(200us);
                continue;
            }
            if (!openWrites(pid, folder).empty() && stopsToLetPass-- == 0) {
                m_inWrite = true;
                ::kill(pid, SIGKILL);
                return;
            }
            ::kill(pid, SIGCONT); // a write elsewhere, or one to let pass
        }
    }

    std::atomic<bool> m_stop { false };
    std::atomic<bool> m_inWrite { false };
    std::thread m_thread; // last: starts once the flags exist
};

} // namespace rostrel::testing::crash
