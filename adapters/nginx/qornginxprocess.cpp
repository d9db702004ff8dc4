// qornginxprocess.cpp: the worker's core, its initialization and retries.
#include "qornginxprocess.h"

#include "qornginxguard.h"

namespace qor_nginx {

QORNginxProcess* g_process = nullptr;

namespace {

ngx_msec_t retryMsec()
{
    return static_cast<ngx_msec_t>(g_process->conf->init_retry) * 1000;
}

void initInThread(QORNginxTask*)
{
    g_process->initStatus =
        g_process->core->initialize(g_process->serverID.c_str(), &g_process->log);
}

void onInitialized(QORNginxTask*)
{
    g_process->initializing = false;
    if (g_process->initStatus == qor_s_ok) {
        g_process->initialized = true;
        ngx_log_error(NGX_LOG_NOTICE, ngx_cycle->log, 0,
                      "dxqor: attached to authorization server \"%s\"",
                      g_process->serverID.c_str());
        return;
    }
    ngx_log_error(NGX_LOG_ERR, ngx_cycle->log, 0,
                  "dxqor: authorization server \"%s\" not usable (status 0x%xD); "
                  "trying again in %T s",
                  g_process->serverID.c_str(), static_cast<uint32_t>(g_process->initStatus),
                  g_process->conf->init_retry);
    if (!ngx_exiting && !ngx_terminate && !ngx_quit)
        ngx_add_timer(&g_process->retry, retryMsec());
}

void startInitialize(ngx_event_t*)
{
    if (g_process->initialized || g_process->initializing)
        return;
    g_process->initializing = true;
    if (!g_process->threads.post(&g_process->initTask)) {
        g_process->initializing = false;
        ngx_add_timer(&g_process->retry, retryMsec());
    }
}

} // namespace

} // namespace qor_nginx

using namespace qor_nginx;

extern "C" ngx_int_t ngx_http_dxqor_init_process(ngx_cycle_t* cycle)
{
    ngx_http_dxqor_main_conf_t* mcf = static_cast<ngx_http_dxqor_main_conf_t*>(
        ngx_http_cycle_get_module_main_conf(cycle, ngx_http_dxqor_module));
    if (mcf == nullptr || mcf->server_id.len == 0)
        return NGX_OK;
    bool made = qor_ngx_try(cycle->log, "starting the worker's core", [&] {
        g_process = new QORNginxProcess();
        g_process->conf = mcf;
        g_process->serverID.assign(reinterpret_cast<char*>(mcf->server_id.data),
                                   mcf->server_id.len);
        g_process->core.reset(new QORCore("nginx"));
    });
    if (!made) {
        delete g_process;
        g_process = nullptr;
        return NGX_ERROR;
    }
    if (!g_process->threads.start(cycle, static_cast<unsigned>(mcf->threads)))
        return NGX_ERROR;
    g_process->initTask.work = initInThread;
    g_process->initTask.done = onInitialized;
    g_process->retry.handler = startInitialize;
    g_process->retry.data = g_process;
    g_process->retry.log = cycle->log;
    // A pending retry must not hold up a graceful shutdown.
    g_process->retry.cancelable = 1;
    startInitialize(nullptr);
    return NGX_OK;
}

extern "C" void ngx_http_dxqor_exit_process(ngx_cycle_t*)
{
    if (g_process == nullptr)
        return;
    // Once the threads are joined no question or initialize is running.
    g_process->threads.stop();
    if (g_process->initialized)
        g_process->core->shutdown();
    delete g_process;
    g_process = nullptr;
}
