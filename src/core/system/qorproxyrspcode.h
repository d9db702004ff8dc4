// qorproxyrspcode.h: the decision the core leaves in a transaction for the
// web-server adapter, also carried as the first item of every web
// transaction answer. The values are part of the wire format and of the
// adapter contract.
#pragma once

enum qor_proxy_rsp_code_e {
    // The request failed (a command of the answer could not be carried out;
    // the response code is then 500).
    qor_severe_error = 0,
    // Carry on with the request as the answer changed it.
    qor_continue = 1,
    // Carry on: the request needed no authorization.
    qor_continue_uninteresting = 2,
    // Send the response built in the response object instead.
    qor_send_rsp_to_client = 3,
    // Send the web server's default response for the response code set.
    qor_send_default_rsp_to_client = 4,
    // The authorization server needs more of the request body.
    qor_require_more_body_data = 5,
    // Bound, not a code.
    qor_max_proxy_rsp_code = 6,
};
