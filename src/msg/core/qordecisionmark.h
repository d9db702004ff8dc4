// qordecisionmark.h: QORDecisionMark, what the authorization server tells
// a plug-in about reusing one of its answers. It travels in the answer as
// a request header command with a reserved name, which the plug-in takes
// out and never hands to the web server; its value is
//
//     <lifetime> <server>:<generation>
//
// lifetime: seconds the plug-in may apply the same answer to the same
// request again, 0 for an answer not to be kept; server: the hexadecimal
// identifier of the server's run; generation: a number the server raises
// whenever an answer it gave may no longer hold (a reload, a session that
// ended). A plug-in that hears of another run or a higher generation drops
// every answer it kept. The lifetime a plug-in may use at all comes with
// the configuration flags, under kConfigFlag.
#pragma once
#include <cstdint>
#include "core/buffers/qorstringref.h"

struct QORDecisionMark {
    static const char kHeaderName[];
    static const char kConfigFlag[];
    // Longest server identifier, in hexadecimal digits.
    static constexpr int kMaxServerLength = 32;
    // Room for the longest value and a terminator.
    static constexpr int kMaxText = 10 + 1 + kMaxServerLength + 1 + 19 + 1;

    uint32_t lifetime = 0;
    char server[kMaxServerLength + 1] = {};
    uint64_t generation = 0;

    // Whether a header name is the reserved one (case-insensitive).
    static bool isMarkHeader(const QORStringRef& name);
    // Reads a value; false, leaving the mark unchanged, for any other text.
    bool parse(const QORStringRef& value);
    // The value, terminated; its length.
    int format(char (&text)[kMaxText]) const;

    bool sameServer(const QORDecisionMark& other) const;
};
