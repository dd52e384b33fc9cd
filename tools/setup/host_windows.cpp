#include "host.h"
#include "host_run.h"

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <windows.h>

#include "system_error_windows.h"

namespace fs = std::filesystem;

const char* const HOST_FILE = "bridge-host.exe";

namespace {

std::string LastErrorText()
{
    std::string message = SystemErrorText(GetLastError());
    // Some texts name the file as an insert.
    if (const size_t insert = message.find("%1"); insert != std::string::npos)
        message.replace(insert, 2, "the file");
    return message;
}

// One argument of a command line as the C runtime's parser reads it back:
// quoted, with the backslashes before a quote doubled.
std::wstring Quoted(const std::wstring& arg)
{
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

// What the host wrote to one of its pipes, gathered by a thread of its own
// each, as anonymous pipes cannot be waited on with a deadline.
struct Output {
    std::mutex lock;
    std::condition_variable changed;
    std::string text[2];
    bool ended[2] = {false, false};
};

void Gather(std::shared_ptr<Output> output, int which, HANDLE pipe)
{
    char buffer[4096];
    DWORD got;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        const std::lock_guard<std::mutex> hold(output->lock);
        output->text[which].append(buffer, got);
        output->changed.notify_all();
    }
    CloseHandle(pipe);
    const std::lock_guard<std::mutex> hold(output->lock);
    output->ended[which] = true;
    output->changed.notify_all();
}

// The started host: its input pipe, its output and log gathered as they come,
// and its process handle, which is signalled when it ends.
class StartedHost {
public:
    // Why it cannot be started, or "".
    std::string Start(const std::string& program, const std::vector<std::string>& args)
    {
        HANDLE child_input, child_output, child_log, output_read, log_read;
        SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
        if (!CreatePipe(&child_input, &input_, &inherited, 0) || !CreatePipe(&output_read, &child_output, &inherited, 0) ||
            !CreatePipe(&log_read, &child_log, &inherited, 0))
            return LastErrorText();
        for (const HANDLE ours : {input_, output_read, log_read})
            SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);

        std::wstring command = Quoted(fs::path(program).wstring());
        for (const std::string& arg : args)
            command += L" " + Quoted(fs::path(arg).wstring());
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = child_input;
        startup.hStdOutput = child_output;
        startup.hStdError = child_log;
        PROCESS_INFORMATION process{};
        // Browsers start the host in its own folder, without a console window.
        const std::wstring folder = fs::path(program).parent_path().wstring();
        const bool started = CreateProcessW(fs::path(program).wstring().c_str(), command.data(), nullptr, nullptr, TRUE,
                                            CREATE_NO_WINDOW, nullptr, folder.c_str(), &startup, &process);
        const std::string error = started ? "" : LastErrorText();
        for (const HANDLE theirs : {child_input, child_output, child_log})
            CloseHandle(theirs);
        std::thread(Gather, output_, 0, output_read).detach();
        std::thread(Gather, output_, 1, log_read).detach();
        if (!started)
            return error;
        CloseHandle(process.hThread);
        process_ = process.hProcess;
        return "";
    }

    ~StartedHost()
    {
        Kill();
        CloseInput();
        if (process_)
            CloseHandle(process_);
    }

    void Send(const std::string& frame)
    {
        // A host that ended already is seen through its process handle, not here.
        DWORD written;
        WriteFile(input_, frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr);
    }
    void CloseInput()
    {
        if (input_)
            CloseHandle(input_);
        input_ = nullptr;
    }

    // Waits for the first frame until the deadline; false when the host's
    // output ended or the time ran out first.
    bool WaitForFrame(Clock::time_point deadline, std::string& body)
    {
        std::unique_lock<std::mutex> hold(output_->lock);
        const std::string& text = output_->text[0];
        output_->changed.wait_until(hold, deadline, [&] { return FirstFrame(text) || output_->ended[0]; });
        return FirstFrame(text, &body);
    }
    bool WaitForEnd(Clock::time_point deadline)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        return WaitForSingleObject(process_, static_cast<DWORD>(std::max<int64_t>(left.count(), 0) + 1)) ==
               WAIT_OBJECT_0;
    }
    void Kill()
    {
        if (process_ && WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, INFINITE);
        }
    }
    // What it wrote to standard error, up to the deadline at the latest.
    std::string Log(Clock::time_point deadline)
    {
        std::unique_lock<std::mutex> hold(output_->lock);
        output_->changed.wait_until(hold, deadline, [&] { return output_->ended[1]; });
        return output_->text[1];
    }
    void Ended(HostRun& run) const
    {
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        run.exit_status = static_cast<int>(code);
    }

private:
    HANDLE input_ = nullptr;
    HANDLE process_ = nullptr;
    std::shared_ptr<Output> output_ = std::make_shared<Output>();
};

}  // namespace

std::string HostFault(const std::string& path)
{
    const DWORD attributes = GetFileAttributesW(fs::path(path).wstring().c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return path + " does not exist";
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return path + " is not a file";
    if (CompareStringOrdinal(fs::path(path).extension().c_str(), -1, L".exe", -1, TRUE) != CSTR_EQUAL)
        return path + " is not a program (.exe)";
    return "";
}

HostRun RunHostOnce(const std::string& program, const std::vector<std::string>& args, const std::string& request,
                    std::chrono::milliseconds patience)
{
    return RunStartedHost<StartedHost>(program, args, request, patience);
}

// The log wrapper is a shell script: on Windows --log is refused before any of these.
std::string LogWrapperText(const std::string&, const std::string&)
{
    return "";
}

fs::path LogWrapperFile(const fs::path& manifest_folder, const std::string& name)
{
    return manifest_folder / (name + "-log.sh");
}

bool ReadLogWrapper(const fs::path&, std::string&, std::string&)
{
    return false;
}

std::string LogFault(const fs::path&)
{
    return "";
}
