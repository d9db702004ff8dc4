// qorchannellimits.h: QORChannelLimits, the bounds an installation puts on
// how long and how often the plug-in waits for the authorization server.
// Each is 0 for no bound, which is the default: the plug-in then waits and
// retries for as long as the server takes.
#pragma once

struct QORChannelLimits {
    // Seconds a question waits for its answer, and for a free worker.
    unsigned int answerWaitSeconds = 0;
    // Times one request is sent again: after a server restart or a worker
    // reset, for more body data, for a client certificate.
    unsigned int retryLimit = 0;
    // Seconds a thread waits while the server's objects are looked up
    // again, and the thread that looks them up waits for the others to
    // give their workers back.
    unsigned int refreshWaitSeconds = 0;
};
