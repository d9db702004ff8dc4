// The adapter document must name every operation an adapter has to
// implement.
#include "plugin/core/qoradapter.h"

#include <gtest/gtest.h>
// g++ 12 with the sanitizers at -O1 takes a std::function inside <regex>'s
// compiler for uninitialised (a false positive in the library's code).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <set>
#include <string>

#include "qortestdir.h"

namespace {

std::string repoRoot()
{
    std::string file = __FILE__;
    return file.substr(0, file.rfind("/src/plugin/core/"));
}

// The names of the pure virtual operations declared in a header: the
// identifier before the first "(" after "virtual" in a declaration that
// ends in "= 0".
std::set<std::string> pureOperations(const std::string& header)
{
    std::string text = qor_test_read_file(repoRoot() + "/src/plugin/core/" + header);
    static const std::regex pure(R"(virtual\b[^;]*?(\w+)\s*\([^;]*=\s*0\s*;)");
    std::set<std::string> names;
    for (std::sregex_iterator m(text.begin(), text.end(), pure), end; m != end; ++m)
        names.insert((*m)[1]);
    return names;
}

} // namespace

TEST(QORAdapterContractTest, TheDocumentNamesEveryPureOperation)
{
    std::string doc = qor_test_read_file(repoRoot() + "/docs/adapter.md");
    ASSERT_FALSE(doc.empty()) << "docs/adapter.md not found from " << repoRoot();
    int total = 0;
    for (const char* header : {"qortransaction.h", "qormessage.h", "qorrequest.h", "qorresponse.h",
                               "qorserver.h", "qorsslsession.h", "qorclientcert.h"}) {
        for (const std::string& op : pureOperations(header)) {
            EXPECT_NE(doc.find("`" + op), std::string::npos)
                << op << " of " << header << " is not in docs/adapter.md";
            total++;
        }
    }
    // Guards the parsing itself: the headers do declare that many.
    EXPECT_GE(total, 35);
    EXPECT_NE(doc.find("0x35f02001"), std::string::npos);
    EXPECT_NE(doc.find("0x35f02002"), std::string::npos);
    for (const char* code : {"qor_severe_error", "qor_continue`", "qor_continue_uninteresting",
                             "qor_send_rsp_to_client", "qor_send_default_rsp_to_client",
                             "qor_require_more_body_data"})
        EXPECT_NE(doc.find(code), std::string::npos) << code;
}
