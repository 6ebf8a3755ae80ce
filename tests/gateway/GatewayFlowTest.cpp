// The transaction flow: plain orders, the sale with address verification
// (authorisation, then capture) and the results written to the ch_ variables.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/gateway/GatewaySupport.h"

namespace vorn {
namespace {

using test::FakeGateway;
using test::GatewayRig;
using test::Inputs;

constexpr char kCode[] = "0097820000019564:YNAM:1234:";

std::string Answer(const std::string& approved, const std::string& code = kCode, const std::string& more = "",
                   const std::string& ordernum = "A-1") {
    return "<r_approved>" + approved + "</r_approved><r_code>" + code + "</r_code><r_error>" +
           (approved == "APPROVED" ? "" : "card declined") + "</r_error><r_ordernum>" + ordernum +
           "</r_ordernum>" + more;
}

// An approved authorisation with the gateway's reference and order id.
std::string Authorised(const std::string& avs, const std::string& code = kCode) {
    return Answer("APPROVED", code,
                  (avs.empty() ? "" : "<r_avs>" + avs + "</r_avs>") +
                      "<reference_number>REF-1</reference_number><oid>OID-1</oid>",
                  "AUTH");
}

std::string Captured() {
    return Answer("APPROVED", "capture:YY:", "", "CAPTURED");
}

std::string OrderType(const std::string& document) {
    size_t start = document.find("<ordertype>") + 11;
    return document.substr(start, document.find("</ordertype>") - start);
}

TEST(GatewayFlowTest, PlainOrdersAndSalesWithAddressVerification) {
    struct Case {
        const char* title;
        Inputs inputs;
        std::string answer;
        std::string orderTypes; // as sent, one per exchange
        std::string results;    // ch_approved|ch_code|ch_error|ch_ordernum
        std::string capture = "";
    };
    const std::string declined = "|Declined: address verification failure|";
    const std::string code = std::string("|") + kCode + "|";
    const std::string captured = "APPROVED|capture:YY:||CAPTURED";
    const Case cases[] = {
        {"a sale", "", Answer("APPROVED"), "sale", "APPROVED" + code + "|A-1"},
        {"a declined sale", "", Answer("DECLINED"), "sale", "DECLINED" + code + "card declined|A-1"},
        {"address matches: capture", "req_avs_reject_addr=1", Authorised("YN"), "PREAUTH,POSTAUTH", captured,
         Captured()},
        {"address differs: no capture", "req_avs_reject_addr=1", Authorised("NY"), "PREAUTH",
         "DECLINED|" + std::string(kCode) + declined + "AUTH"},
        {"postcode matches: capture", "req_avs_reject_zip=1", Authorised("NY"), "PREAUTH,POSTAUTH", captured,
         Captured()},
        {"both flags, any case, the code from r_code", "req_chargetype=SaLe;req_avs_reject_addr=3",
         Authorised("", "word:YY:word"), "PREAUTH,POSTAUTH", captured, Captured()},
        {"the lowest bit only", "req_avs_reject_addr=2;req_avs_reject_zip=4", Answer("APPROVED"), "sale",
         "APPROVED" + code + "|A-1"},
        {"only the whole APPROVED captures", "req_avs_reject_addr=1", Answer("A"), "PREAUTH",
         "A" + code + "card declined|A-1"},
        {"an unapproved authorisation", "req_avs_reject_addr=1", Answer("DECLINED"), "PREAUTH",
         "DECLINED" + code + "card declined|A-1"},
        {"colons after r_code are not its own", "req_avs_reject_addr=1",
         Answer("APPROVED", "nocolons", ":YY:"), "PREAUTH", "DECLINED|nocolons" + declined + "A-1"},
        {"a preauth failing the check", "req_chargetype=preauth;req_avs_reject_addr=1", Authorised("NN"),
         "preauth", "DECLINED|" + std::string(kCode) + declined + "AUTH"},
    };
    GatewayRig rig;
    FakeGateway& gateway = FakeGateway::Get();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        gateway.Serve(test::Behaviour(), {c.answer, c.capture});
        test::Outcome outcome = rig.Run(c.inputs);
        EXPECT_EQ(outcome.error, "<none>");
        EXPECT_EQ(outcome.body, "body"); // once
        EXPECT_EQ(outcome.Output("ch_approved") + "|" + outcome.Output("ch_code") + "|" +
                      outcome.Output("ch_error") + "|" + outcome.Output("ch_ordernum"),
                  c.results);
        std::vector<test::Request> requests = gateway.Requests();
        std::string types;
        for (const test::Request& request : requests)
            types += (types.empty() ? "" : ",") + OrderType(request.document);
        EXPECT_EQ(types, c.orderTypes);
        // The capture carries the authorisation's reference and order id.
        if (requests.size() == 2) {
            EXPECT_NE(requests[1].document.find("<transactiondetails><oid>OID-1</oid><reference_number>REF-1"
                                                "</reference_number></transactiondetails>"),
                      std::string::npos);
        }
    }

    // No result of an earlier block survives a transaction.
    gateway.Serve(test::Behaviour(), {"<r_message>none</r_message>"});
    test::Outcome outcome = rig.Run("", {{"ch_approved", "APPROVED"}, {"ch_code", "OLD"}});
    EXPECT_EQ(outcome.Output("ch_approved") + outcome.Output("ch_code") + outcome.Output("ch_message"),
              "none");

    // Without an order type nothing is sent and no result is written.
    gateway.Serve(test::Behaviour());
    outcome = rig.Run("-req_chargetype");
    EXPECT_EQ(outcome.error, "variable req_chargetype not defined");
    EXPECT_EQ(outcome.body, "");
    EXPECT_TRUE(outcome.outputs.empty());
    EXPECT_EQ(gateway.Connections(), 0);
    EXPECT_EQ(outcome.openFeatures, 0);
}

} // namespace
} // namespace vorn
