// qorauthzdirectory.h: the backends of the authorization server, each a
// small interface so that the policy can choose where users, groups and
// sessions live (files and memory, a directory server, a shared store).
// Every operation tells a definite "no" apart from "could not ask": the
// latter is qor_s_not_available, answered 503 and never 401 or 403, so an
// outage never looks like a wrong password. Implementations are
// thread-safe.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "core/system/qorstatus.h"

class QORAuthzUserDirectory {
public:
    virtual ~QORAuthzUserDirectory() = default;
    // qor_s_ok when password is the user's; qor_s_permission_denied when it
    // is not, or the user is unknown (the caller cannot tell which);
    // qor_s_not_available when the directory cannot be asked.
    virtual QORStatus verify(const std::string& user, const std::string& password) = 0;
    // qor_s_ok when the user exists, qor_s_not_found when not,
    // qor_s_not_available.
    virtual QORStatus lookup(const std::string& user) = 0;
};

class QORAuthzGroupDirectory {
public:
    virtual ~QORAuthzGroupDirectory() = default;
    // The groups user is in (none for an unknown user): qor_s_ok, or
    // qor_s_not_available with groups left empty.
    virtual QORStatus groupsOf(const std::string& user, std::vector<std::string>* groups) = 0;
};

// Form-login sessions and the login form's one-time anti-forgery tokens.
// Times are seconds on the caller's monotonic clock; a store shared by
// several servers keeps its own wall-clock times instead.
class QORAuthzSessionStore {
public:
    virtual ~QORAuthzSessionStore() = default;
    // Lifetimes in seconds and the limits on sessions in all and per user
    // (the oldest going first).
    virtual void configure(int idle, int absolute, int maxSessions, int maxPerUser) = 0;

    // A new session for user: its identifier (64 hexadecimal characters,
    // never issued before) in *id. qor_s_system_call_failed without random
    // bytes, qor_s_not_available.
    virtual QORStatus create(const std::string& user, int64_t now, std::string* id) = 0;
    // The user of a live session: qor_s_ok, qor_s_not_found (unknown or
    // expired), qor_s_not_available.
    virtual QORStatus find(const std::string& id, int64_t now, std::string* user) = 0;
    // find, and the session counted as used at now (its idle lifetime
    // starts again), in one step: one round trip per request to a remote
    // store.
    virtual QORStatus use(const std::string& id, int64_t now, std::string* user) = 0;
    // Ends one session; an unknown one is no error.
    virtual QORStatus remove(const std::string& id) = 0;
    // Ends every session of user ("log out everywhere").
    virtual QORStatus removeUser(const std::string& user) = 0;

    // A new token (32 hexadecimal characters) in *token.
    virtual QORStatus issueToken(int64_t now, std::string* token) = 0;
    // qor_s_ok once for a token issued within its lifetime (it is used up
    // then), qor_s_not_found otherwise, qor_s_not_available.
    virtual QORStatus consumeToken(const std::string& token, int64_t now) = 0;
};
