#pragma once
// Diagnostics of the protocol modules: each call becomes one unrepeated
// syslog packet to every device. Nothing is printed locally.

#include <cstdarg>

#include "core/tb_id.hpp"

#define TB_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

void tb_syslog_message(const char* origin, tb_id id, const char* format, ...) TB_PRINTF_FORMAT(3, 4);
void tb_syslog_warning(const char* origin, tb_id id, const char* format, ...) TB_PRINTF_FORMAT(3, 4);
void tb_syslog_error(const char* origin, tb_id id, const char* format, ...) TB_PRINTF_FORMAT(3, 4);
void tb_syslog_fatal(const char* origin, tb_id id, const char* format, ...) TB_PRINTF_FORMAT(3, 4);
