#pragma once
// Another program run to its end, as a user's second program would run beside this one: its
// standard output and error go into a file, its exit status comes back.

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace testproc {

// -1 when the program could not be started.
inline int runProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& outputFile) {
#ifdef _WIN32
    // The command line as the C runtime splits it: each argument quoted, quotes escaped.
    auto quoted = [](const std::string& a) {
        std::string q = "\"";
        std::size_t slashes = 0;
        for (char c : a) {
            if (c == '\\') {
                ++slashes;
                continue;
            }
            q.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
            slashes = 0;
            q += c;
        }
        q.append(slashes * 2, '\\');
        return q + "\"";
    };
    std::string line = quoted(program);
    for (const std::string& a : args)
        line += " " + quoted(a);
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out = CreateFileA(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return -1;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out;
    si.hStdError = out;
    PROCESS_INFORMATION pi{};
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    const BOOL started = CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &si, &pi);
    CloseHandle(out);
    if (!started) return -1;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(pi.hProcess, &status);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(status);
#else
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        const int fd = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) ::_exit(127);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        std::vector<char*> argv;
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        for (std::string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

}  // namespace testproc
