#include "plugin/core/qorsslsession.h"

#include <gtest/gtest.h>

#include "qortesttransaction.h"

TEST(QORSSLSession, OwnsItsClientCertificate)
{
    int deleted = 0;
    {
        QORTestSSLSession s;
        s.setClientCert(new QORTestCounted<QORTestClientCert>(&deleted));
        QORTestClientCert* second = new QORTestCounted<QORTestClientCert>(&deleted);
        s.setClientCert(second);
        EXPECT_EQ(deleted, 1);
        s.setClientCert(second);   // the same one again is kept
        EXPECT_EQ(deleted, 1);
    }
    EXPECT_EQ(deleted, 2);
}
