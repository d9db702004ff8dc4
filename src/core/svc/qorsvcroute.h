// qorsvcroute.h: where serviceability records go. Each severity has one
// process-wide route list and each component handle one debug route list;
// the administrator sets them with specifications such as
// "ERROR:STDERR:;TEXTFILE.3.1000:/var/log/x.log:0640:www:www", and the debug
// levels with "pic:Memory Types.1,HTTP Parser.3" or "pic:*.9".
//
// Route list: entries separated by ';' (a run of ';' is one separator),
// each keyword[.generations.entries]:destination[:mode[:user[:group]]].
// Keywords: STDOUT, STDERR, XMLSTDOUT, XMLSTDERR, DISCARD, TEXTFILE,
// UTF8FILE, XMLFILE, FILE (local code page text, as TEXTFILE), GOESTO (to
// the routes of the severity or component named as destination); any other
// keyword is kept with its destination for a dynamically loaded route and
// writes nothing here. Mode is octal (above 0777: left unchanged), user and
// group are names; generations above 99 count as 99.
#pragma once
#include "core/svc/qorsvc.h"

extern "C" {

// "SEVERITY:routes" or "*:routes". Replaces the named severities' routes;
// dx_svc_s_bad_routespec (nothing changed) or dx_svc_s_no_memory.
void dx_svc_routing(const char* specification, QORStatus* status);

// "component:routes". Replaces the component's debug routes; for a component
// not registered yet the specification is stored and applied when it is.
void dx_svc_debug_routing(const char* specification, QORStatus* status);

// "component:sub.level,sub.level,..." with "*" for every row. Each changed
// row is announced to the registered callbacks (not by the _nocb form).
// dx_svc_s_bad_routespec for an unknown component or row or a level above 9
// (no level changed).
void dx_svc_debug_set_levels(const char* specification, QORStatus* status);
void dx_svc_debug_set_levels_nocb(const char* specification,
                                  QORStatus* status);

// Adds or removes a debug-level change callback (adding one twice keeps one).
void dx_svc_register_callbacks(dx_svc_levels_cb_t cb, QORStatus* status);
void dx_svc_unregister_callbacks(dx_svc_levels_cb_t cb, QORStatus* status);

// The current route list of a severity or component in specification form
// ("STDERR:;TEXTFILE.3.1000:/tmp/x"), a new string the caller frees with
// free(); null with dx_svc_s_bad_routespec for an unknown name. A severity
// not yet used shows its default routes.
char* dx_svc_routes_show(const char* name, QORStatus* status);

// Flushes every open route.
void dx_svc_flush(void);
}
