#include "process.h"

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace {

void check_posix(int result, const char* what) {
    if (result != 0) {
        throw std::system_error(result == -1 ? errno : result, std::generic_category(), what);
    }
}

}  // namespace

std::string program_under_test(const std::string& built_path) {
    const char* folder = std::getenv("MAVO_TEST_PROGRAM_DIR");
    return folder == nullptr ? built_path
                             : std::string(folder) + built_path.substr(built_path.rfind('/'));
}

process_result run_process(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment) {
    std::vector<std::string> storage{program};
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : storage) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> added = environment;
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        envp.push_back(*entry);
    }
    for (auto& entry : added) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    int out_pipe[2];
    int err_pipe[2];
    check_posix(pipe(out_pipe), "pipe");
    check_posix(pipe(err_pipe), "pipe");
    posix_spawn_file_actions_t actions;
    check_posix(posix_spawn_file_actions_init(&actions), "file actions");
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
    posix_spawn_file_actions_addclose(&actions, err_pipe[0]);
    // SIGPIPE at its default, whatever the test runner set: the programs must handle it themselves.
    posix_spawnattr_t attributes;
    check_posix(posix_spawnattr_init(&attributes), "spawn attributes");
    sigset_t default_signals;
    sigemptyset(&default_signals);
    sigaddset(&default_signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &default_signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    check_posix(spawned, "posix_spawn");

    // Drain both pipes together so that neither can fill up and stall the child.
    process_result result;
    std::array<pollfd, 2> fds{{{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}}};
    std::array<std::string*, 2> sinks{&result.standard_output, &result.standard_error};
    int open_pipes = 2;
    while (open_pipes > 0) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        for (std::size_t k = 0; k < fds.size(); ++k) {
            if (fds[k].fd < 0 || fds[k].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t count = read(fds[k].fd, buffer, sizeof buffer);
            if (count > 0) {
                sinks[k]->append(buffer, static_cast<std::size_t>(count));
            } else if (count < 0 && errno == EINTR) {
                continue;
            } else {
                close(fds[k].fd);
                fds[k].fd = -1;
                --open_pipes;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "waitpid");
        }
    }
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
