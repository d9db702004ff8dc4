/* ngx_http_dxqor_module.c: the module's directives, configuration and
 * hooks. The work is done by the C++ part (qornginxhandler.cpp). */
#include "ngx_http_dxqor_module.h"

static void *ngx_http_dxqor_create_main_conf(ngx_conf_t *cf);
static char *ngx_http_dxqor_init_main_conf(ngx_conf_t *cf, void *conf);
static void *ngx_http_dxqor_create_loc_conf(ngx_conf_t *cf);
static char *ngx_http_dxqor_merge_loc_conf(ngx_conf_t *cf, void *parent,
    void *child);
static char *ngx_http_dxqor_strip_header(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);
static char *ngx_http_dxqor_status(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);
static ngx_int_t ngx_http_dxqor_add_variables(ngx_conf_t *cf);
static ngx_int_t ngx_http_dxqor_init(ngx_conf_t *cf);


static ngx_command_t ngx_http_dxqor_commands[] = {

    { ngx_string("dxqor"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_FLAG,
      ngx_conf_set_flag_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_dxqor_loc_conf_t, enable),
      NULL },

    { ngx_string("dxqor_server_id"),
      NGX_HTTP_MAIN_CONF|NGX_CONF_TAKE1,
      ngx_conf_set_str_slot,
      NGX_HTTP_MAIN_CONF_OFFSET,
      offsetof(ngx_http_dxqor_main_conf_t, server_id),
      NULL },

    { ngx_string("dxqor_init_retry"),
      NGX_HTTP_MAIN_CONF|NGX_CONF_TAKE1,
      ngx_conf_set_sec_slot,
      NGX_HTTP_MAIN_CONF_OFFSET,
      offsetof(ngx_http_dxqor_main_conf_t, init_retry),
      NULL },

    { ngx_string("dxqor_threads"),
      NGX_HTTP_MAIN_CONF|NGX_CONF_TAKE1,
      ngx_conf_set_num_slot,
      NGX_HTTP_MAIN_CONF_OFFSET,
      offsetof(ngx_http_dxqor_main_conf_t, threads),
      NULL },

    { ngx_string("dxqor_vhost_id"),
      NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_TAKE1,
      ngx_conf_set_str_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_dxqor_loc_conf_t, vhost_id),
      NULL },

    { ngx_string("dxqor_strip_header"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_1MORE,
      ngx_http_dxqor_strip_header,
      NGX_HTTP_LOC_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("dxqor_inspect_responses"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_FLAG,
      ngx_conf_set_flag_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_dxqor_loc_conf_t, inspect),
      NULL },

    { ngx_string("dxqor_body_file_root"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_TAKE1,
      ngx_conf_set_str_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_dxqor_loc_conf_t, body_root),
      NULL },

    { ngx_string("dxqor_status"),
      NGX_HTTP_LOC_CONF|NGX_CONF_NOARGS,
      ngx_http_dxqor_status,
      0,
      0,
      NULL },

      ngx_null_command
};


static ngx_http_module_t ngx_http_dxqor_module_ctx = {
    ngx_http_dxqor_add_variables,          /* preconfiguration */
    ngx_http_dxqor_init,                   /* postconfiguration */
    ngx_http_dxqor_create_main_conf,       /* create main configuration */
    ngx_http_dxqor_init_main_conf,         /* init main configuration */
    NULL,                                  /* create server configuration */
    NULL,                                  /* merge server configuration */
    ngx_http_dxqor_create_loc_conf,        /* create location configuration */
    ngx_http_dxqor_merge_loc_conf          /* merge location configuration */
};


ngx_module_t ngx_http_dxqor_module = {
    NGX_MODULE_V1,
    &ngx_http_dxqor_module_ctx,            /* module context */
    ngx_http_dxqor_commands,               /* module directives */
    NGX_HTTP_MODULE,                       /* module type */
    NULL,                                  /* init master */
    NULL,                                  /* init module */
    ngx_http_dxqor_init_process,           /* init process */
    NULL,                                  /* init thread */
    NULL,                                  /* exit thread */
    ngx_http_dxqor_exit_process,           /* exit process */
    NULL,                                  /* exit master */
    NGX_MODULE_V1_PADDING
};


static ngx_str_t ngx_http_dxqor_user_name = ngx_string("dxqor_user");

ngx_http_output_header_filter_pt ngx_http_dxqor_next_header_filter;
ngx_http_output_body_filter_pt ngx_http_dxqor_next_body_filter;


static void *
ngx_http_dxqor_create_main_conf(ngx_conf_t *cf)
{
    ngx_http_dxqor_main_conf_t  *conf;

    conf = ngx_pcalloc(cf->pool, sizeof(ngx_http_dxqor_main_conf_t));
    if (conf == NULL) {
        return NULL;
    }

    conf->init_retry = NGX_CONF_UNSET;
    conf->threads = NGX_CONF_UNSET;
    return conf;
}


static char *
ngx_http_dxqor_init_main_conf(ngx_conf_t *cf, void *conf)
{
    ngx_http_dxqor_main_conf_t  *mcf = conf;

    ngx_conf_init_value(mcf->init_retry, 10);

    /* Questions to the authorization server wait on a semaphore: each
     * worker process asks them from threads of its own, never from the
     * event loop. */
    ngx_conf_init_value(mcf->threads, 8);
    if (mcf->threads < 1 || mcf->threads > 256) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "\"dxqor_threads\" must be 1 to 256, not %i",
                           mcf->threads);
        return NGX_CONF_ERROR;
    }

    return NGX_CONF_OK;
}


static void *
ngx_http_dxqor_create_loc_conf(ngx_conf_t *cf)
{
    ngx_http_dxqor_loc_conf_t  *conf;

    conf = ngx_pcalloc(cf->pool, sizeof(ngx_http_dxqor_loc_conf_t));
    if (conf == NULL) {
        return NULL;
    }

    conf->enable = NGX_CONF_UNSET;
    conf->inspect = NGX_CONF_UNSET;
    conf->strip = NGX_CONF_UNSET_PTR;
    return conf;
}


static char *
ngx_http_dxqor_merge_loc_conf(ngx_conf_t *cf, void *parent, void *child)
{
    ngx_http_dxqor_loc_conf_t  *prev = parent;
    ngx_http_dxqor_loc_conf_t  *conf = child;

    ngx_conf_merge_value(conf->enable, prev->enable, 0);
    ngx_conf_merge_value(conf->inspect, prev->inspect, 0);
    ngx_conf_merge_str_value(conf->vhost_id, prev->vhost_id, "");
    ngx_conf_merge_str_value(conf->body_root, prev->body_root, "");
    ngx_conf_merge_ptr_value(conf->strip, prev->strip, NULL);

    return NGX_CONF_OK;
}


static char *
ngx_http_dxqor_strip_header(ngx_conf_t *cf, ngx_command_t *cmd, void *conf)
{
    ngx_http_dxqor_loc_conf_t  *lcf = conf;

    ngx_str_t   *value, *name;
    ngx_uint_t   i;

    if (lcf->strip == NGX_CONF_UNSET_PTR) {
        lcf->strip = ngx_array_create(cf->pool, 4, sizeof(ngx_str_t));
        if (lcf->strip == NULL) {
            return NGX_CONF_ERROR;
        }
    }

    value = cf->args->elts;

    for (i = 1; i < cf->args->nelts; i++) {
        name = ngx_array_push(lcf->strip);
        if (name == NULL) {
            return NGX_CONF_ERROR;
        }

        name->len = value[i].len;
        name->data = ngx_pnalloc(cf->pool, value[i].len);
        if (name->data == NULL) {
            return NGX_CONF_ERROR;
        }

        ngx_strlow(name->data, value[i].data, value[i].len);
    }

    return NGX_CONF_OK;
}


/* The location answers the plug-in's figures (qornginxstatus.cpp). */
static char *
ngx_http_dxqor_status(ngx_conf_t *cf, ngx_command_t *cmd, void *conf)
{
    ngx_http_core_loc_conf_t  *clcf;

    clcf = ngx_http_conf_get_module_loc_conf(cf, ngx_http_core_module);
    clcf->handler = ngx_http_dxqor_status_handler;
    return NGX_CONF_OK;
}

static ngx_int_t
ngx_http_dxqor_add_variables(ngx_conf_t *cf)
{
    ngx_http_variable_t  *var;

    var = ngx_http_add_variable(cf, &ngx_http_dxqor_user_name,
                                NGX_HTTP_VAR_NOCACHEABLE);
    if (var == NULL) {
        return NGX_ERROR;
    }

    var->get_handler = ngx_http_dxqor_user_variable;
    return NGX_OK;
}


static ngx_int_t
ngx_http_dxqor_init(ngx_conf_t *cf)
{
    ngx_http_handler_pt        *h;
    ngx_http_core_main_conf_t  *cmcf;

    cmcf = ngx_http_conf_get_module_main_conf(cf, ngx_http_core_module);

    h = ngx_array_push(&cmcf->phases[NGX_HTTP_ACCESS_PHASE].handlers);
    if (h == NULL) {
        return NGX_ERROR;
    }

    *h = ngx_http_dxqor_access_handler;

    ngx_http_dxqor_next_header_filter = ngx_http_top_header_filter;
    ngx_http_top_header_filter = ngx_http_dxqor_header_filter;
    ngx_http_dxqor_next_body_filter = ngx_http_top_body_filter;
    ngx_http_top_body_filter = ngx_http_dxqor_body_filter;

    return NGX_OK;
}
