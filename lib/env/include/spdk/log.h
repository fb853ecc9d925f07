/*
 * Logging of the environment and the driver library.
 *
 * A message is formatted once and handed, with its level, source file, line and function, to the installed log
 * function (spdk_log_open). Without one, the default prints error, warning and notice messages to standard output as
 * "SPDK: " + the message with its line breaks removed + " (" file ":" line ")", one flushed line each.
 * Messages above the print level (default: notice) are dropped, except those of an enabled log flag
 * (SPDK_INFOLOG / SPDK_DEBUGLOG with a flag switched on by spdk_log_set_flag), which are always delivered.
 */
#ifndef SPDK_LOG_H
#define SPDK_LOG_H

#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum spdk_log_level {
	SPDK_LOG_DISABLED = -1,
	SPDK_LOG_ERROR = 0,
	SPDK_LOG_WARN = 1,
	SPDK_LOG_NOTICE = 2,
	SPDK_LOG_INFO = 3,
	SPDK_LOG_DEBUG = 4,
};

/* Receives one already formatted message (zero-terminated, may contain line breaks). */
typedef void logfunc(int level, const char *file, const int line, const char *func, const char *msg);

/* Install the log function; NULL restores the default printer. */
void spdk_log_open(logfunc *logf);
void spdk_log_close(void);

void spdk_log_set_print_level(enum spdk_log_level level);
enum spdk_log_level spdk_log_get_print_level(void);

void spdk_log(enum spdk_log_level level, const char *file, const int line, const char *func, const char *format, ...)
	__attribute__((__format__(__printf__, 5, 6)));
void spdk_vlog(enum spdk_log_level level, const char *file, const int line, const char *func, const char *format,
	       va_list ap);

struct spdk_log_flag {
	const char *name;
	bool enabled;
	struct spdk_log_flag *next; /* registry link, owned by the library */
};

/* Register a flag under a name (case-insensitive); a second flag with the same name is refused with an error line. */
void spdk_log_register_flag(const char *name, struct spdk_log_flag *flag);
/* Switch a flag on or off by name; "all" switches every flag. 0 or -EINVAL when no such flag. */
int spdk_log_set_flag(const char *flag);
int spdk_log_clear_flag(const char *flag);
bool spdk_log_get_flag(const char *flag);
/* Deliver a message of an enabled flag regardless of the print level. */
void spdk_log_flagged(struct spdk_log_flag *flag, enum spdk_log_level level, const char *file, const int line,
		      const char *func, const char *format, ...) __attribute__((__format__(__printf__, 6, 7)));

/* Define a log flag and register it when the library loads. */
#define SPDK_LOG_REGISTER_COMPONENT(str, flag)                                     \
	struct spdk_log_flag flag = {str, false, NULL};                            \
	__attribute__((constructor)) static void register_log_flag_##flag(void)    \
	{                                                                          \
		spdk_log_register_flag(str, &flag);                                \
	}

#define SPDK_ERRLOG(...) spdk_log(SPDK_LOG_ERROR, __FILE__, __LINE__, __func__, __VA_ARGS__)
#define SPDK_WARNLOG(...) spdk_log(SPDK_LOG_WARN, __FILE__, __LINE__, __func__, __VA_ARGS__)
#define SPDK_NOTICELOG(...) spdk_log(SPDK_LOG_NOTICE, __FILE__, __LINE__, __func__, __VA_ARGS__)
/* In C the flag is declared by the macro; in C++ a declaration must be in scope (block-scope extern would name a
 * flag of the enclosing namespace). */
#ifdef __cplusplus
#define SPDK_LOG_FLAG_DECLARE_(FLAG)
#else
#define SPDK_LOG_FLAG_DECLARE_(FLAG) extern struct spdk_log_flag FLAG;
#endif

#define SPDK_INFOLOG(FLAG, ...)                                                                  \
	do {                                                                                     \
		SPDK_LOG_FLAG_DECLARE_(FLAG)                                                     \
		if (FLAG.enabled) {                                                              \
			spdk_log_flagged(&FLAG, SPDK_LOG_INFO, __FILE__, __LINE__, __func__, __VA_ARGS__); \
		}                                                                                \
	} while (0)
#define SPDK_DEBUGLOG(FLAG, ...)                                                                  \
	do {                                                                                      \
		SPDK_LOG_FLAG_DECLARE_(FLAG)                                                      \
		if (FLAG.enabled) {                                                               \
			spdk_log_flagged(&FLAG, SPDK_LOG_DEBUG, __FILE__, __LINE__, __func__, __VA_ARGS__); \
		}                                                                                 \
	} while (0)

#ifdef __cplusplus
}
#endif

#endif /* SPDK_LOG_H */
