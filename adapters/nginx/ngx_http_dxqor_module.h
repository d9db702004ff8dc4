/* ngx_http_dxqor_module.h: what the module's C part (directives,
 * configuration, hooks) and its C++ part (the request handler and the
 * per-process core) share. */
#ifndef NGX_HTTP_DXQOR_MODULE_H
#define NGX_HTTP_DXQOR_MODULE_H

#ifdef __cplusplus
extern "C" {
#endif

#include <ngx_config.h>
#include <ngx_core.h>
#include <ngx_http.h>

typedef struct {
    ngx_str_t           server_id;     /* dxqor_server_id: the core is made when set */
    time_t              init_retry;    /* dxqor_init_retry, seconds as in mod_dxqor */
    ngx_int_t           threads;       /* dxqor_threads: per worker process */
} ngx_http_dxqor_main_conf_t;

typedef struct {
    ngx_flag_t          enable;        /* dxqor on|off */
    ngx_str_t           vhost_id;      /* dxqor_vhost_id; empty: the server name */
    ngx_array_t        *strip;         /* dxqor_strip_header: ngx_str_t, lower case */
    ngx_flag_t          inspect;       /* dxqor_inspect_responses */
    ngx_str_t           body_root;     /* dxqor_body_file_root; empty: no files */
} ngx_http_dxqor_loc_conf_t;

extern ngx_module_t ngx_http_dxqor_module;

/* The access-phase handler. */
ngx_int_t ngx_http_dxqor_access_handler(ngx_http_request_t *r);
/* Response inspection: the module's filters and the next ones. */
ngx_int_t ngx_http_dxqor_header_filter(ngx_http_request_t *r);
ngx_int_t ngx_http_dxqor_body_filter(ngx_http_request_t *r, ngx_chain_t *in);
extern ngx_http_output_header_filter_pt ngx_http_dxqor_next_header_filter;
extern ngx_http_output_body_filter_pt ngx_http_dxqor_next_body_filter;
/* The dxqor_status location's content handler. */
ngx_int_t ngx_http_dxqor_status_handler(ngx_http_request_t *r);
/* $dxqor_user: the user the authorization server named for the log. */
ngx_int_t ngx_http_dxqor_user_variable(ngx_http_request_t *r,
    ngx_http_variable_value_t *v, uintptr_t data);
/* Per worker process: make the core and start initializing it; shut it
 * down when the worker exits. */
ngx_int_t ngx_http_dxqor_init_process(ngx_cycle_t *cycle);
void ngx_http_dxqor_exit_process(ngx_cycle_t *cycle);

#ifdef __cplusplus
}
#endif

#endif
