// qorclientcert.cpp: the client certificate interface's destructor.
#include "plugin/core/qorclientcert.h"

QORClientCert::~QORClientCert() = default;
