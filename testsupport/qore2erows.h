// qore2erows.h: the rows every web server with a dxqor adapter must pass,
// and the authorization-server policies they assume. Two tables:
//
// - scripted rows, against QORTestAuthServer with qor_e2e_scripted_policy:
//   cache decisions, identity headers, rewrites of query, method and URI,
//   body inspection, built and default responses, hostile answers (500),
//   response inspection, a client certificate, the server stopped and
//   started again;
// - authzd rows, against the real dxqor-authzd with kQORE2EAuthzdPolicy and
//   the users and groups of packaging/: logins, groups, normalised paths,
//   the server stopped and started again.
//
// The web server under test serves the site of qor_e2e_make_site on
// 127.0.0.1 with these virtual hosts (by Host header):
//   protected.test  dxqor on, virtual-host ID "protected", body files
//                   allowed from <site>/body, identity headers X-Dxqor-User
//                   and X-Spoofed stripped, dxqor off for the location
//                   /cgi/; also on HTTPS with the test CA, client
//                   certificates optional
//   inspect.test    as protected.test, with response inspection
//   static.test     dxqor on, ID "static" (unprotected in dxqor.conf)
//   plain.test      dxqor off
// CGI: *.cgi under the site (with path info), and everything under cgi/.
#pragma once
#include <string>
#include <vector>
#include "qore2e.h"
#include "qortestauthserver.h"

// What the test does before a row's request.
enum QORE2EStep { kQORE2ENothing, kQORE2EStopServer, kQORE2EStartServer };

struct QORE2EStepRow {
    QORE2EStep before;
    QORE2ERow row;
};

// The scripted server's policy: /public is open (decided by the cache),
// the rest of "protected" is asked; unless a rule says otherwise an asked
// request carries on as alice with a private response. site: where the
// site is (for the body file rule).
QORTestAuthScript qor_e2e_scripted_policy(const std::string& site);
// certs: the directory of qor_e2e_make_certificates.
std::vector<QORE2EStepRow> qor_e2e_scripted_rows(const std::string& certs);

// The real server's policy (the stanzas after [server]): /protected open
// but /private (alice, or the staff group), /admin (the admins group) and
// /forms (alice, signed in through the login form).
extern const char kQORE2EAuthzdPolicy[];
// The first row expects the server to be up and the web server attached.
std::vector<QORE2EStepRow> qor_e2e_authzd_rows();
// Every method, known or not, against the admin area of the real server's
// policy: no user gets 401, a user outside the group 403, a user of the
// group what the web server answers after the decision. A TRACE by that
// user gets traceStatus (the web server's own answer: 405 where it refuses
// TRACE); traceDecided is false for a web server that answers every TRACE
// itself before any module runs, so that all three get traceStatus.
std::vector<QORE2EStepRow> qor_e2e_method_rows(int traceStatus, bool traceDecided);
