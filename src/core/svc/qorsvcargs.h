// qorsvcargs.h: the argument lists of serviceability messages. A message is
// emitted with its arguments and a list of their conversions ("%s%d"); the
// message text is the printf template. This reads both, tells whether the
// template consumes the arguments the list describes (a translated catalogue
// text must not make the formatter read what was not passed), and renders
// each argument on its own for the XML record's parameters.
#pragma once
#include <cstdarg>
#include "core/platform/qorlox.h"

class QORSvcText;

// The text an argument that cannot be rendered is replaced by.
extern const char* const qor_svc_unrendered_arg;

// Whether formatting tmpl with arguments described by argtypes reads only
// arguments that were passed, each with the type that was passed. A null
// argtypes describes no arguments.
bool qor_svc_args_match(const char* tmpl, const char* argtypes);

// Renders each argument argtypes describes into *params (count returned),
// as zero-terminated UTF-8 strings in one malloc'd block that the caller
// frees with free(*params); string arguments are in cs. An unknown
// conversion and every argument after it (their places in args are no
// longer known) render as qor_svc_unrendered_arg. -1 when memory fails.
int qor_svc_args_render(lox_cs_t cs, const char* argtypes, va_list args,
                        char*** params);

// Formats tmpl (UTF-8) with args whose strings are in cs and appends the
// result in UTF-8 to out. When tmpl does not match argtypes (see above) or
// the formatter refuses it, appends tmpl as it stands and the rendered
// arguments after it, each after a blank. A null argtypes is taken from
// tmpl itself (callers that pass no list, such as the report hook).
bool qor_svc_args_format(QORSvcText& out, lox_cs_t cs, const char* tmpl,
                         const char* argtypes, va_list args);
