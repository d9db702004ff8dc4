// The adapter document must name every operation an adapter has to
// implement.
#include "plugin/core/qoradapter.h"

#include <gtest/gtest.h>
#include <cctype>
#include <set>
#include <string>

#include "qortestdir.h"

namespace {

std::string repoRoot()
{
    std::string file = __FILE__;
    return file.substr(0, file.rfind("/src/plugin/core/"));
}

// The names of the pure virtual operations declared in a header: every
// declaration (text up to ";") that starts with "virtual" somewhere and ends
// in "= 0", named by the identifier before its first "(".
std::set<std::string> pureOperations(const std::string& header)
{
    std::string text = qor_test_read_file(repoRoot() + "/src/plugin/core/" + header);
    std::set<std::string> names;
    size_t start = 0;
    for (size_t end; (end = text.find(';', start)) != std::string::npos; start = end + 1) {
        std::string decl = text.substr(start, end - start);
        size_t virt = decl.find("virtual");
        size_t last = decl.find_last_not_of(" \t\n");
        if (virt == std::string::npos || last == std::string::npos || last < 1
            || decl.compare(last - 1, 2, " 0") != 0 || decl.find('=', virt) == std::string::npos)
            continue;
        size_t paren = decl.find('(', virt);
        size_t nameEnd = decl.find_last_not_of(" ", paren - 1) + 1;
        size_t nameStart = nameEnd;
        while (nameStart > 0 && (isalnum(static_cast<unsigned char>(decl[nameStart - 1]))
                                 || decl[nameStart - 1] == '_'))
            nameStart--;
        names.insert(decl.substr(nameStart, nameEnd - nameStart));
    }
    return names;
}

const char* const kAdapterHeaders[] = {
    "qortransaction.h", "qormessage.h", "qorrequest.h",   "qorresponse.h",
    "qorserver.h",      "qorsslsession.h", "qorclientcert.h",
};

} // namespace

TEST(QORAdapterContractTest, TheDocumentNamesEveryPureOperation)
{
    std::string doc = qor_test_read_file(repoRoot() + "/docs/adapter.md");
    ASSERT_FALSE(doc.empty()) << "docs/adapter.md not found from " << repoRoot();
    int total = 0;
    for (const char* header : kAdapterHeaders) {
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
