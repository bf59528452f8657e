// Test helper: real processes with chosen executable names. Copies /bin/sleep into a private
// temporary folder under each name and starts it; kills and reaps its own processes (by pid) and
// removes the folder when destroyed.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace varnelo {

class Sleepers {
public:
    Sleepers();
    ~Sleepers();
    Sleepers(const Sleepers&) = delete;
    Sleepers& operator=(const Sleepers&) = delete;

    // Starts one "sleep 600" whose executable file is named `fileName` (UTF-8); returns its pid,
    // or -1 when it could not be started.
    pid_t Start(const std::string& fileName);
    // Kills one of ours and waits for it.
    void Stop(pid_t pid);
    // The executable's path for `fileName` (after Start).
    std::string PathOf(const std::string& fileName) const { return dir_ + "/" + fileName; }

private:
    std::string dir_;
    std::vector<pid_t> pids_;
};

}  // namespace varnelo
