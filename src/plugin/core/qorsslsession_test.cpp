#include "plugin/core/qorsslsession.h"

#include <gtest/gtest.h>

#include "qortesttransaction.h"

TEST(QORSSLSession, OwnsItsClientCertificate)
{
    int deleted = 0;
    {
        QORTestSSLSession s;
        s.adoptClientCert(std::make_unique<QORTestCounted<QORTestClientCert>>(&deleted));
        s.adoptClientCert(std::make_unique<QORTestCounted<QORTestClientCert>>(&deleted));
        EXPECT_EQ(deleted, 1);
    }
    EXPECT_EQ(deleted, 2);
}
