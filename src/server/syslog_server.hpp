#pragma once
// The syslog store: every syslog packet heard on the LAN becomes one line of
// "syslog.log" in the configured directory. The file is open only while
// messages arrive, so it can be read, moved or deleted from outside.

#include <string_view>

#include "core/tb_task.hpp"

constexpr std::size_t syslog_server_path_max = 4095;

extern const tb_task_descriptor syslog_server_task;

// Registers the store for directory; false (and nothing registered) when the
// directory name is longer than syslog_server_path_max.
bool syslog_server_start(std::string_view directory);

// Whether the file is open right now (it closes 1 s after the last line).
bool syslog_server_file_open();
