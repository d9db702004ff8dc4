// qorauthzpasswordcheck.h: QORAuthzPasswordCheck, what a check of a name
// and password against a user directory found. Only "bad" is a failed
// login that the slow-down counts: a directory that cannot be reached, or
// cannot check this user's password, says nothing about the client.
#pragma once

enum class QORAuthzPasswordCheck {
    good,        // the password is the user's
    bad,         // the user is unknown or the password is not theirs
    unavailable  // no answer: the directory cannot be reached or cannot
                 // check this password; nothing is known of the client
};
