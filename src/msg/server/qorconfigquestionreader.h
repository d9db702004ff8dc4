// qorconfigquestionreader.h: how the authorization server reads a
// configuration question from the request area of a worker buffer.
#pragma once
#include "core/system/qorstatus.h"
#include "msg/core/qorconfigquestion.h"

class QORSharedMemIterator;

class QORConfigQuestionReader {
public:
    // Reads the question from it into *type. The request area comes from the
    // plug-in: a question without its element, with an element that does not
    // hold the type, or with a type outside the four known ones gives
    // qor_s_msg_unmarshal_failed (*type unchanged); a damaged chain gives the
    // iterator's status.
    static QORStatus read(QORSharedMemIterator& it,
                          QORConfigQuestion::qor_config_req_msg_type_e* type);
};
