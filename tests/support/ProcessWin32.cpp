// ProcessWin32.cpp: RunProgram with CreateProcessW. The program and its arguments are UTF-8 and
// become one UTF-16 command line, quoted the way the C runtime splits it back into argv, so that
// paths with spaces or non-ASCII letters reach the program unchanged. Windows has no
// pseudo-terminal to give a program, so onTerminal runs nothing; the tests that need it skip.
#include "support/Process.h"

#include <windows.h>

namespace Database::Testing {
namespace {

std::wstring Widen(const std::string& text) {
    if (text.empty())
        return std::wstring();
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

// One argument as CommandLineToArgvW and the C runtime read it back: in quotes, with each quote
// escaped and the backslashes before a quote (or before the closing one) doubled.
void AppendQuoted(const std::wstring& argument, std::wstring& commandLine) {
    commandLine += L'"';
    std::size_t backslashes = 0;
    for (wchar_t character : argument) {
        if (character == L'\\') {
            ++backslashes;
            continue;
        }
        commandLine.append(character == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        commandLine += character;
    }
    commandLine.append(backslashes * 2, L'\\');
    commandLine += L'"';
}

// Reads a pipe to its end; run on a thread of its own for stderr, so that neither pipe can fill
// up while the other is read.
struct PipeReader {
    HANDLE pipe = nullptr;
    std::string text;
};

DWORD WINAPI ReadToEnd(void* context) {
    PipeReader& reader = *static_cast<PipeReader*>(context);
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(reader.pipe, chunk, sizeof chunk, &got, nullptr) && got > 0)
        reader.text.append(chunk, got);
    return 0;
}

// A pipe whose read end stays in this process and whose write end the child inherits.
bool MakeChildPipe(HANDLE& readEnd, HANDLE& writeEnd) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (!::CreatePipe(&readEnd, &writeEnd, &inheritable, 0))
        return false;
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    return true;
}

}  // namespace

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& workingDirectory, bool onTerminal) {
    ProcessResult result;
    if (onTerminal)
        return result;
    std::wstring commandLine;
    AppendQuoted(Widen(program), commandLine);
    for (const std::string& argument : arguments) {
        commandLine += L' ';
        AppendQuoted(Widen(argument), commandLine);
    }
    PipeReader out;
    PipeReader err;
    HANDLE outWrite = nullptr;
    HANDLE errWrite = nullptr;
    if (!MakeChildPipe(out.pipe, outWrite))
        return result;
    if (!MakeChildPipe(err.pipe, errWrite)) {
        ::CloseHandle(out.pipe);
        ::CloseHandle(outWrite);
        return result;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION child{};
    const std::wstring folder = Widen(workingDirectory);
    const bool started = ::CreateProcessW(Widen(program).c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                          nullptr, folder.empty() ? nullptr : folder.c_str(), &startup, &child);
    // The child holds its own copies now; with these closed, the pipes end when the child does.
    ::CloseHandle(outWrite);
    ::CloseHandle(errWrite);
    if (started) {
        HANDLE errThread = ::CreateThread(nullptr, 0, ReadToEnd, &err, 0, nullptr);
        ReadToEnd(&out);
        if (errThread != nullptr) {
            ::WaitForSingleObject(errThread, INFINITE);
            ::CloseHandle(errThread);
        }
        ::WaitForSingleObject(child.hProcess, INFINITE);
        DWORD exitCode = 0;
        if (::GetExitCodeProcess(child.hProcess, &exitCode))
            result.exitStatus = static_cast<int>(exitCode);
        ::CloseHandle(child.hThread);
        ::CloseHandle(child.hProcess);
    }
    result.out = out.text;
    result.err = err.text;
    ::CloseHandle(out.pipe);
    ::CloseHandle(err.pipe);
    return result;
}

}  // namespace Database::Testing
