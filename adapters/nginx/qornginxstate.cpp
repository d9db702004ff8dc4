// qornginxstate.cpp: a request's state, its pool copies and its jobs.
#include "qornginxstate.h"

#include "qornginxprocess.h"

namespace qor_nginx {

namespace {

void stateCleanup(void* data)
{
    delete static_cast<QORNginxState*>(data);
}

} // namespace

QORNginxState* findState(ngx_http_request_t* r, bool create)
{
    for (ngx_pool_cleanup_t* c = r->main->pool->cleanup; c; c = c->next)
        if (c->handler == stateCleanup)
            return static_cast<QORNginxState*>(c->data);
    if (!create)
        return nullptr;
    ngx_pool_cleanup_t* c = ngx_pool_cleanup_add(r->main->pool, 0);
    if (c == nullptr)
        return nullptr;
    c->data = new (std::nothrow) QORNginxState();
    if (c->data == nullptr)
        return nullptr;  // the record's handler stays null: nothing to run
    c->handler = stateCleanup;
    return static_cast<QORNginxState*>(c->data);
}

ngx_http_dxqor_loc_conf_t* locConf(ngx_http_request_t* r)
{
    return static_cast<ngx_http_dxqor_loc_conf_t*>(
        ngx_http_get_module_loc_conf(r, ngx_http_dxqor_module));
}

u_char* poolCopy(ngx_http_request_t* r, const std::string& s)
{
    u_char* p = static_cast<u_char*>(ngx_pnalloc(r->pool, s.size() + 1));
    if (p != nullptr) {
        memcpy(p, s.data(), s.size());
        p[s.size()] = '\0';
    }
    return p;
}

bool setStr(ngx_http_request_t* r, ngx_str_t* out, const std::string& s)
{
    u_char* p = poolCopy(r, s);
    if (p == nullptr)
        return false;
    out->data = p;
    out->len = s.size();
    return true;
}

QORAnswerLimits answerLimits(ngx_http_request_t* r)
{
    ngx_http_core_srv_conf_t* cscf = static_cast<ngx_http_core_srv_conf_t*>(
        ngx_http_get_module_srv_conf(r, ngx_http_core_module));
    size_t line = cscf->large_client_header_buffers.size;
    return QORAnswerLimits{line, line};
}

ngx_int_t postJob(ngx_http_request_t* r, QORNginxState* state, void (*work)(QORNginxJob*),
                  void (*done)(QORNginxJob*))
{
    // In the request's pool, which the blocked request keeps until done.
    void* mem = ngx_palloc(r->pool, sizeof(QORNginxJob));
    if (mem == nullptr)
        return NGX_ERROR;
    QORNginxJob* job = new (mem) QORNginxJob();
    job->r = r;
    job->state = state;
    job->work = work;
    job->done = done;
    job->task.data = job;
    job->task.work = [](QORNginxTask* t) {
        QORNginxJob* j = static_cast<QORNginxJob*>(t->data);
        j->work(j);
    };
    job->task.done = [](QORNginxTask* t) {
        QORNginxJob* j = static_cast<QORNginxJob*>(t->data);
        j->done(j);
    };
    if (!g_process->threads.post(&job->task))
        return NGX_DECLINED;
    r->main->blocked++;
    return NGX_OK;
}

} // namespace qor_nginx

using namespace qor_nginx;

extern "C" ngx_int_t ngx_http_dxqor_user_variable(ngx_http_request_t* r,
                                                  ngx_http_variable_value_t* v, uintptr_t)
{
    // Reads only: nothing here throws.
    QORNginxState* state = findState(r, false);
    if (state == nullptr || state->logUser.empty()) {
        v->not_found = 1;
        return NGX_OK;
    }
    v->data = reinterpret_cast<u_char*>(&state->logUser[0]);
    v->len = state->logUser.size();
    v->valid = 1;
    v->no_cacheable = 1;
    v->not_found = 0;
    return NGX_OK;
}
