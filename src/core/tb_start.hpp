#pragma once
// Start-up: command line, the INI file read in two passes, the architecture
// table, the LAN core start and the process's life until SIGINT/SIGTERM.

#include <cstdio>
#include <string>
#include <string_view>

#include "core/tb_id.hpp"

constexpr std::string_view tb_model_code = "SYN.00";
constexpr int tb_arch_max_slots = 32;

struct tb_start_state {
    std::string home;     // web path prefix, up to 255 characters
    std::string locale;   // up to 7 characters
    std::string manifest; // manifest directory, up to 255 characters
    int user_count = -1;
};

tb_start_state& tb_start_config();

int tamber_main(int argc, char** argv);
void start_tamber(std::string_view interface);
void start_services(std::string_view arch);
// User slots for an architecture name, or the name read as a decimal count.
int synology_arch_get_number_of_services(std::string_view name);
// Slots to create for an architecture key: unknown or non-positive counts
// give one slot (with a warning), counts above 32 are cut to 32.
int start_services_count(std::string_view arch, bool* unknown);
std::FILE* open_manifest_file(tb_id id, const char* mode);
void sig_handler(int signal);
