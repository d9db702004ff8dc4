// qorwebquestionhandler.h: QORWebQuestionHandler, the part of an
// authorization server's question handler (proxyif/server) that reads web
// request, web response and cache version questions and gives the answer
// writer to the server's decision: a subclass decides, this class reads
// and frames. Other question types go to handleOther.
#pragma once
#include "core/sundry/qorepochversion.h"
#include "core/system/qorstatus.h"
#include "proxyif/server/qorsrvquestionhandler.h"

class QORURCVersionAnswerWriter;
class QORWebReqQuestionReader;
class QORWebRspQuestion;
class QORWebTransAnswerWriter;

class QORWebQuestionHandler : public QORSrvQuestionHandler {
public:
    ~QORWebQuestionHandler() override;

    // Reads a question of type 1, 5 or 6 and calls the matching answer
    // operation with the writer of the answer type (3, or 7 for type 6),
    // whose begin() the subclass calls. A question that cannot be read
    // gives its read status, and any failure is answered with an error
    // message by the pool.
    QORStatus handle(int questionType, QORSharedMemIterator& question,
                     QORSharedMemAllocator& answer, int* answerType) override;

protected:
    virtual QORStatus answerWebRequest(const QORWebReqQuestionReader& question,
                                       QORWebTransAnswerWriter& answer) = 0;
    virtual QORStatus answerWebResponse(const QORWebRspQuestion& question,
                                        QORWebTransAnswerWriter& answer) = 0;
    // held is the plug-in's version. Default 0x35f02001.
    virtual QORStatus answerURCVersion(const QOREpochVersion& held,
                                       QORURCVersionAnswerWriter& answer);
    // Any other question type. Default 0x35f02001.
    virtual QORStatus handleOther(int questionType, QORSharedMemIterator& question,
                                  QORSharedMemAllocator& answer, int* answerType);
};
