// qorsvcstate.h: the process-wide state the serviceability files share:
// one mutex guards routes, handles, levels, callbacks and file writes.
// Nothing that can report a message (message lookup, the report hook) is
// called with the mutex held, since reporting takes it again.
#pragma once
#include <pthread.h>
#include "core/svc/qorsvc.h"

struct QORSvcRecord;

extern pthread_mutex_t qor_svc_mutex;

// Starts the layer once (again after dx_svc_shutdown): reads SVC_BRIEF and
// registers the fork handlers (those once per process).
// REQUIRES: qor_svc_mutex held.
void qor_svc_start_locked(void);
bool qor_svc_brief_locked(void);
const char* qor_svc_progname_locked(void);

// The registered handle for component, or null. REQUIRES: mutex held.
dx_svc_handle_t qor_svc_find_handle_locked(const char* component);

// Writes the record to its severity's routes (messages) or to handle's debug
// routes, filling in the program name. Takes the mutex.
void qor_svc_route(dx_svc_handle_t handle, QORSvcRecord& record);

// Applies a debug routing stored for a component that was not registered
// when it was given. REQUIRES: mutex held.
void qor_svc_routes_registered_locked(dx_svc_handle_t handle);

// Fork handlers' work and shutdown. REQUIRES: mutex held.
void qor_svc_routes_flush_locked(void);
void qor_svc_routes_reopen_locked(void);
void qor_svc_routes_free_locked(void);
void qor_svc_route_list_free_locked(struct dx_svc_route_list* list);
void qor_svc_levels_free_locked(void);

// Makes UTF-8 (or the local code page) the default code set.
void qor_svc_set_default_utf8(bool utf8);

// Lets qormsg_init run again after dx_svc_shutdown.
void qor_svc_init_forget(void);
