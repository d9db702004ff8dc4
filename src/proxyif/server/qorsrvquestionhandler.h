// qorsrvquestionhandler.h: QORSrvQuestionHandler, what the server side of
// the worker pool calls for each question a worker receives: it reads the
// question's elements and writes the answer's.
#pragma once
#include "core/system/qorstatus.h"

class QORSharedMemIterator;
class QORSharedMemAllocator;

class QORSrvQuestionHandler {
public:
    virtual ~QORSrvQuestionHandler();

    // Reads the question of questionType from question, appends the answer
    // to answer and sets *answerType. Runs on the worker's own thread, so
    // for several workers at once. A failure is answered with an error
    // message (type 0) carrying the status, whatever the handler wrote.
    virtual QORStatus handle(int questionType, QORSharedMemIterator& question,
                             QORSharedMemAllocator& answer, int* answerType) = 0;
};
