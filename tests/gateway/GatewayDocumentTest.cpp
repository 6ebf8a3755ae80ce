// The order documents and request heads as the fake gateway receives them.
#include <gtest/gtest.h>

#include <string>

#include "tests/gateway/GatewaySupport.h"

namespace vorn {
namespace {

using test::FakeGateway;
using test::GatewayRig;
using test::Inputs;

std::string Order(const std::string& groups, const std::string& type = "sale",
                  const std::string& items = "") {
    return "<order>" + groups + "<orderoptions><ordertype>" + type + "</ordertype></orderoptions>" + items +
           "</order>";
}

const char kFullInputs[] =
    "order_userid=u1;order_bcompany=Co;order_bcountry=US;order_bname=Ann;order_baddr1=1 Main St;"
    "order_baddr2=Apt 2;order_bcity=Town;order_bstate=CA;order_bzip=90210;order_phone=555;order_fax=556;"
    "req_email=a@b.c;order_scountry=US;order_sname=Bob;order_saddr1=2 Side St;order_saddr2=Unit 3;"
    "order_scity=City;order_sstate=NY;order_szip=10001;order_shipping=1.00;order_tax=0.50;"
    "order_subtotal=10.00;order_vattax=0.10;req_chargetotal=11.60;order_refer=web;order_comments=hi;"
    "order_oid=OID-1;order_ponumber=PO-7;order_taxexempt=N;req_ip=10.0.0.1;req_referencenumber=R-9;"
    "req_mototransaction=ECI;req_recurringtransaction=NO;req_terminaltype=UNSPECIFIED;req_tdate=123;"
    "req_configfile=123456;req_cardnumber=4111111111111111;req_expmonth=12;req_expyear=30;"
    "req_cvmindicator=provided;req_cvm=123;req_track=T;req_result=GOOD";

const char kFullOrder[] =
    "<order><billing><userid>u1</userid><company>Co</company><country>US</country><name>Ann</name>"
    "<address1>1 Main St</address1><address2>Apt 2</address2><city>Town</city><state>CA</state><zip>90210"
    "</zip><phone>555</phone><fax>556</fax><email>a@b.c</email></billing><shipping><country>US</country>"
    "<name>Bob</name><address1>2 Side St</address1><address2>Unit 3</address2><city>City</city><state>NY"
    "</state><zip>10001</zip></shipping><payment><shipping>1.00</shipping><tax>0.50</tax><subtotal>10.00"
    "</subtotal><vattax>0.10</vattax><chargetotal>11.60</chargetotal></payment><notes><referred>web"
    "</referred><comments>hi</comments></notes><transactiondetails><oid>OID-1</oid><ponumber>PO-7"
    "</ponumber><taxexempt>N</taxexempt><ip>10.0.0.1</ip><reference_number>R-9</reference_number>"
    "<transactionorigin>ECI</transactionorigin><recurring>NO</recurring><terminaltype>UNSPECIFIED"
    "</terminaltype><tdate>123</tdate></transactiondetails><merchantinfo><configfile>123456</configfile>"
    "</merchantinfo><creditcard><cardnumber>4111111111111111</cardnumber><cardexpmonth>12</cardexpmonth>"
    "<cardexpyear>30</cardexpyear><cvmindicator>provided</cvmindicator><cvmvalue>123</cvmvalue><track>T"
    "</track></creditcard><orderoptions><result>GOOD</result><ordertype>sale</ordertype></orderoptions>"
    "</order>";

// Item 0 with eleven options (the eleventh is never read, the first choice
// is cut to 128 bytes), item 1 with an empty id, item 3 past the gap.
Inputs Items() {
    Inputs inputs =
        "order_item0_itemid=A;order_item0_price=1.00;order_item1_itemid=;order_item1_description=D;"
        "order_item3_itemid=Z";
    for (int j = 0; j <= 10; ++j)
        inputs += ";order_item0_option" + std::to_string(j) + "_option=o" + std::to_string(j) +
                  ";order_item0_option" + std::to_string(j) + "_choice=" + (j ? "c" : std::string(130, 'x'));
    return inputs;
}

std::string ItemsDocument() {
    std::string options;
    for (int j = 0; j < 10; ++j)
        options += "<option><name>o" + std::to_string(j) + "</name><value>" +
                   (j ? "c" : std::string(128, 'x')) + "</value></option>";
    return "<items><item><id>A</id><price>1.00</price><options>" + options +
           "</options></item><item><description>D</description><options></options></item></items>";
}

TEST(GatewayDocumentTest, DocumentsAndHeadsReachTheGatewayByteForByte) {
    struct Case {
        const char* title;
        Inputs inputs;
        std::string document; // empty: the run fails before any connection
        std::string error = "";
        std::string host = "localhost"; // as the Host line writes it
    };
    const std::string preauth = "req_chargetype=preauth;req_avs_reject_addr=1;";
    const std::string digits(40, '7');
    const Case cases[] = {
        {"nothing but the order type", "", Order("")},
        {"a full order", kFullInputs, kFullOrder},
        {"entities, and the order type encoded too",
         "order_comments=a<b (c) & \"d\" >\t\r\n;req_chargetype=sale</ordertype><x>",
         Order("<notes><comments>a&lt;b &#40;c&#41; &amp; &quot;d&quot; &gt;\t\r\n</comments></notes>",
               "sale&lt;/ordertype&gt;&lt;x&gt;")},
        {"an indicator matched ignoring case", "req_cvmindicator=NoImprint",
         Order("<creditcard><cvmindicator>no_imprint</cvmindicator></creditcard>")},
        {"an indicator one letter longer", "req_cvmindicator=providedx", Order("<creditcard></creditcard>")},
        {"items and options", Items(), Order("", "sale", ItemsDocument())},
        {"street number from the first digits", preauth + "order_baddr1=Suite 5, 1234 Main St",
         Order("<billing><addrnum>5</addrnum><address1>Suite 5, 1234 Main St</address1></billing>",
               "preauth")},
        {"street number given", preauth + "req_avs_reject_addr=3;req_addrnum=12",
         Order("<billing><addrnum>12</addrnum></billing>", "preauth")},
        {"street number of 32 digits at most", preauth + "order_baddr1=" + digits + " Road",
         Order("<billing><addrnum>" + digits.substr(8) + "</addrnum><address1>" + digits +
                   " Road</address1></billing>",
               "preauth")},
        {"no street number without the address flag", "req_avs_reject_addr=2;order_baddr1=Main St",
         Order("<billing><address1>Main St</address1></billing>")},
        {"no digits in the address", preauth + "order_baddr1=Main St", "",
         "Invalid billing address information"},
        {"a street number of 0", preauth + "req_addrnum=0", "", "Invalid billing address information"},
        {"a control byte", "order_bname=A\x01", "", "Invalid character in order_bname"},
        {"a NUL in the order type", std::string("req_chargetype=sa") + '\0' + "le", "",
         "Invalid character in req_chargetype"},
        {"an IP address", "req_host=127.0.0.1", Order(""), "", "127.0.0.1"},
        {"an IPv6 address", "req_host=::1", Order(""), "", "[::1]"},
    };
    GatewayRig rig;
    FakeGateway& gateway = FakeGateway::Get();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        if (c.host == "[::1]" && !gateway.HasIPv6()) continue;
        gateway.Serve(test::Behaviour());
        test::Outcome outcome = rig.Run(c.inputs);
        std::vector<test::Request> requests = gateway.Requests();
        if (c.document.empty()) {
            EXPECT_EQ(outcome.error, c.error);
            EXPECT_EQ(outcome.body, "");
            EXPECT_EQ(gateway.Connections(), 0);
            continue;
        }
        EXPECT_EQ(outcome.error, "<none>");
        EXPECT_EQ(outcome.body, "body");
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].document, c.document);
        EXPECT_EQ(requests[0].head, "POST /LSGSXML HTTP/1.1\nHost: " + c.host + ":" +
                                        std::to_string(gateway.Port()) +
                                        "\nContent-Length: " + std::to_string(c.document.size()) +
                                        "\nContent-Type: application/x-www-form-urlencoded\n\n");
        EXPECT_EQ(requests[0].subject, "/CN=Vorn Test Client");
        // Server Name Indication for names only.
        EXPECT_EQ(requests[0].sni, c.host == "localhost" ? "localhost" : "");
    }
}

} // namespace
} // namespace vorn
