// The source of the terminal sessions of the Linux build: the entry points
// of systemd-logind's C library (sd-login) through which the platform
// layer reads the login sessions it reports under the Terminal Services
// names (<wtsapi32.h> describes the mapping).
//
// SdLoginSeam() starts on the entry points of libsystemd.so.0, loaded on
// first use; where the library is missing, on entry points that answer as
// a machine without logind (no sessions, no process in any). A hosting
// process with another session manager can install its own table; the
// members have the names, arguments and results of the sd-login functions,
// and strings they return are released with free().
#pragma once

#ifndef _WIN32

#include <sys/types.h>

#include "platform/seam.h"

struct sd_login_monitor;

struct SSdLoginEntryPoints {
  int (*sd_get_sessions)(char*** sessions);
  int (*sd_session_get_state)(const char* session, char** state);
  int (*sd_session_get_class)(const char* session, char** clazz);
  int (*sd_session_get_uid)(const char* session, uid_t* uid);
  int (*sd_session_is_remote)(const char* session);
  int (*sd_session_get_remote_host)(const char* session, char** remote_host);
  int (*sd_pid_get_session)(pid_t pid, char** session);
  int (*sd_login_monitor_new)(const char* category, sd_login_monitor** ret);
  sd_login_monitor* (*sd_login_monitor_unref)(sd_login_monitor* m);
  int (*sd_login_monitor_flush)(sd_login_monitor* m);
  int (*sd_login_monitor_get_fd)(sd_login_monitor* m);
};

TSeam<SSdLoginEntryPoints>& SdLoginSeam() noexcept;

#endif
