// The host program a manifest names: whether it can be started, one run of
// it the way a browser runs it, and the wrapper that keeps its log.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The host's file name, as it is installed beside this command.
extern const char* const HOST_FILE;

// Why the file at `path` cannot be started as a host, or "" when it can.
std::string HostFault(const std::string& path);

// What one run did: started with `args`, sent one request frame, and its
// input closed after the reply.
struct HostRun {
    std::string start_error;             // why it could not be started; "" when it was
    std::optional<std::string> reply;    // the body of its first frame, if one came in time
    bool ended = false;                  // it ended by itself in time
    bool ended_before_reply = false;
    int exit_status = -1;                // when it ended through exit
    int signal = 0;                      // when a signal ended it
    std::string signal_name;
    std::string log;                     // its standard error
};
HostRun RunHostOnce(const std::string& program, const std::vector<std::string>& args, const std::string& request,
                    std::chrono::milliseconds patience);

// A script that starts the host with its standard error in `log`, after
// moving the previous run's log to `log`.1.
std::string LogWrapperText(const std::string& host, const std::string& log);
std::filesystem::path LogWrapperFile(const std::filesystem::path& manifest_folder, const std::string& name);
// The host and the log of a script that LogWrapperText made; false for any other file.
bool ReadLogWrapper(const std::filesystem::path& file, std::string& host, std::string& log);
// Why a log cannot be kept at `log`, or "" when it can.
std::string LogFault(const std::filesystem::path& log);
