// qoradapter.h: everything a web-server adapter needs and nothing more: the
// core it calls, the abstract transaction classes it implements, the result
// codes it acts on, the checks on what an answer hands the web server,
// the log sink it gives the core, the statuses and
// qor_shutdown, the library-wide teardown it calls last. See
// docs/adapter.md for the contract.
#pragma once
#include "core/shutdown/qorshutdown.h"
#include "core/system/qorstatus.h"
#include "core/trace/qorlog.h"
#include "plugin/core/qoranswercheck.h"
#include "plugin/core/qorclientcert.h"
#include "plugin/core/qorcore.h"
#include "plugin/core/qormessage.h"
#include "plugin/core/qorpemclientcert.h"
#include "plugin/core/qorpluginstats.h"
#include "core/system/qorproxyrspcode.h"
#include "plugin/core/qorrequest.h"
#include "plugin/core/qorresponse.h"
#include "plugin/core/qorserver.h"
#include "plugin/core/qorsslsession.h"
#include "plugin/core/qortransaction.h"
