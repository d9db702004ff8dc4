// qorauthzbackends.h: the backends a policy chooses, made from its
// settings: the user and group directories of a snapshot (the files, or
// one LDAP directory serving both) and the session store the service keeps
// across reloads (memory, or Redis shared by several servers).
#pragma once
#include <memory>
#include <string>
#include "authz/qorauthzdirectory.h"
#include "authz/qorauthzpolicy.h"

// False, with the problems in errors, when a file cannot be read or a
// setting cannot be used. Nothing is connected to yet: a directory server
// that is down now makes requests 503 later, not the load fail.
bool qor_authz_make_directories(const QORAuthzSettings& s, QORAuthzErrors* errors,
                                QORAuthzErrors* warnings,
                                std::shared_ptr<QORAuthzUserDirectory>* users,
                                std::shared_ptr<QORAuthzGroupDirectory>* groups);

// Null, with why, when the store's secrets cannot be read.
std::shared_ptr<QORAuthzSessionStore> qor_authz_make_session_store(const QORAuthzSettings& s,
                                                                   std::string* why);
