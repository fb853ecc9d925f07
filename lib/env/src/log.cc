/* Logging: one formatted message per call, delivered to the installed log function or printed as one flushed line. */
#include "spdk/log.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <atomic>
#include <mutex>
#include <string>

namespace {

std::atomic<logfunc *> g_logfunc{nullptr};
std::atomic<int> g_print_level{SPDK_LOG_NOTICE};

std::mutex g_flag_lock;
spdk_log_flag *g_flags = nullptr;

/* Standard output as the process has it: the environment's start points `stdout` at its DPDK log stream for a while,
 * and the lines of that stream come back here. */
FILE *const g_stdout = stdout;

/* The default printer: "SPDK: " + message without line breaks + " (" file ":" line ")". */
void default_print(int level, const char *file, const int line, const char *func, const char *msg)
{
	std::string out = "SPDK: ";
	for (const char *p = msg; *p; ++p) {
		if (*p != '\n') {
			out.push_back(*p);
		}
	}
	out += " (";
	out += file ? file : "";
	out += ":";
	out += std::to_string(line);
	out += ")\n";
	fwrite(out.data(), 1, out.size(), g_stdout);
	fflush(g_stdout);
}

void deliver(int level, const char *file, const int line, const char *func, const char *format, va_list ap)
{
	char stack_buf[512];
	va_list ap2;
	va_copy(ap2, ap);
	int n = vsnprintf(stack_buf, sizeof(stack_buf), format, ap);
	const char *msg = stack_buf;
	std::string heap;
	if (n < 0) {
		msg = format;
	} else if ((size_t)n >= sizeof(stack_buf)) {
		heap.resize((size_t)n + 1);
		vsnprintf(&heap[0], heap.size(), format, ap2);
		heap.resize((size_t)n);
		msg = heap.c_str();
	}
	va_end(ap2);
	logfunc *f = g_logfunc.load(std::memory_order_acquire);
	if (f != nullptr) {
		f(level, file, line, func, msg);
	} else {
		default_print(level, file, line, func, msg);
	}
}

spdk_log_flag *find_flag(const char *name)
{
	for (spdk_log_flag *f = g_flags; f != nullptr; f = f->next) {
		if (strcasecmp(f->name, name) == 0) {
			return f;
		}
	}
	return nullptr;
}

int set_flag(const char *name, bool value)
{
	if (name == nullptr) {
		return -EINVAL;
	}
	std::lock_guard<std::mutex> guard(g_flag_lock);
	if (strcasecmp(name, "all") == 0) {
		for (spdk_log_flag *f = g_flags; f != nullptr; f = f->next) {
			f->enabled = value;
		}
		return 0;
	}
	spdk_log_flag *f = find_flag(name);
	if (f == nullptr) {
		return -EINVAL;
	}
	f->enabled = value;
	return 0;
}

}  // namespace

extern "C" {

void spdk_log_open(logfunc *logf)
{
	g_logfunc.store(logf, std::memory_order_release);
}

void spdk_log_close(void)
{
	g_logfunc.store(nullptr, std::memory_order_release);
}

void spdk_log_set_print_level(enum spdk_log_level level)
{
	g_print_level.store(level);
}

enum spdk_log_level spdk_log_get_print_level(void)
{
	return (enum spdk_log_level)g_print_level.load();
}

void spdk_vlog(enum spdk_log_level level, const char *file, const int line, const char *func, const char *format,
	       va_list ap)
{
	if (level == SPDK_LOG_DISABLED || (int)level > g_print_level.load(std::memory_order_relaxed) || format == nullptr) {
		return;
	}
	deliver(level, file, line, func, format, ap);
}

void spdk_log(enum spdk_log_level level, const char *file, const int line, const char *func, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	spdk_vlog(level, file, line, func, format, ap);
	va_end(ap);
}

void spdk_log_flagged(struct spdk_log_flag *flag, enum spdk_log_level level, const char *file, const int line,
		      const char *func, const char *format, ...)
{
	if (flag == nullptr || !flag->enabled || format == nullptr) {
		return;
	}
	va_list ap;
	va_start(ap, format);
	deliver(level, file, line, func, format, ap);
	va_end(ap);
}

void spdk_log_register_flag(const char *name, struct spdk_log_flag *flag)
{
	if (name == nullptr || flag == nullptr) {
		return;
	}
	bool duplicate;
	{
		std::lock_guard<std::mutex> guard(g_flag_lock);
		duplicate = find_flag(name) != nullptr;
		if (!duplicate) {
			flag->name = name;
			flag->next = g_flags;
			g_flags = flag;
		}
	}
	if (duplicate) {
		spdk_log(SPDK_LOG_ERROR, __FILE__, __LINE__, __func__, "duplicate log flag '%s'\n", name);
	}
}

int spdk_log_set_flag(const char *flag)
{
	return set_flag(flag, true);
}

int spdk_log_clear_flag(const char *flag)
{
	return set_flag(flag, false);
}

bool spdk_log_get_flag(const char *flag)
{
	if (flag == nullptr) {
		return false;
	}
	std::lock_guard<std::mutex> guard(g_flag_lock);
	spdk_log_flag *f = find_flag(flag);
	return f != nullptr && f->enabled;
}

}  // extern "C"
