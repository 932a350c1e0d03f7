#include <zavrin.h>

#include <gtest/gtest.h>
#include <locale.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

using zavrin_test::FromHex;

namespace {

const char kHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<zvcp version=\"2\">\r\n"
    "   <message code=\"1\" id=\"7\">\r\n";
const char kTail[] = "   </message>\r\n</zvcp>\r\n";

std::string Xml(CSCPMessage &message) {
  char *xml = message.CreateXML();
  EXPECT_NE(nullptr, xml);
  if (xml == nullptr) return std::string();
  std::string text(xml);
  free(xml);
  return text;
}

std::string Variable(const char *id, const char *type, const std::string &value) {
  return std::string("      <variable id=\"") + id + "\" type=\"" + type +
         "\">\r\n         <value>" + value + "</value>\r\n      </variable>\r\n";
}

std::string Doc(const std::string &variables) {
  return kHead + variables + kTail;
}

std::string Str(const CSCPMessage &message, DWORD id) {
  char *text = message.GetVariableStr(id);
  if (text == nullptr) return "<absent>";
  std::string result(text);
  free(text);
  return result;
}

std::string Escape(const char *text, int length) {
  char *escaped = EscapeStringForXML(text, length);
  EXPECT_NE(nullptr, escaped);
  std::string result(escaped);
  free(escaped);
  return result;
}

uint64_t Bits(double value) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof(bits));
  return bits;
}

}  // namespace

TEST(XmlWriter, EmptyMessageIsHeadAndTail) {
  CSCPMessage message;
  message.SetCode(1);
  message.SetId(7);
  EXPECT_EQ(std::string(kHead) + kTail, Xml(message));
}

TEST(XmlWriter, WritesEveryTypeByteExact) {
  CSCPMessage message;
  message.SetCode(1);
  message.SetId(7);
  message.SetVariable(1, static_cast<DWORD>(0xFFFFFFFF));
  message.SetVariable(0xFFFFFFFE, static_cast<WORD>(0xFFFF));
  message.SetVariable(3, static_cast<QWORD>(0x8000000000000000ull));
  message.SetVariable(4, "a<b&\"c'd\n\xC3\xA9");
  const BYTE bytes[] = {0, 1, 2};
  message.SetVariable(5, bytes, 3);
  message.SetVariable(6, bytes, 0);
  message.SetVariable(7, 0.5);
  EXPECT_EQ(Doc(Variable("1", "int32", "-1") + Variable("-2", "int16", "65535") +
                Variable("3", "int64", "-9223372036854775808") +
                Variable("4", "string", "a&lt;b&amp;&quot;c&apos;d&#x0A;\xC3\xA9") +
                Variable("5", "binary", "AAEC") + Variable("6", "binary", "") +
                Variable("7", "float", "0.5")),
            Xml(message));
}

TEST(XmlWriter, HeadCarriesCodeIdAndVersion) {
  CSCPMessage message(1);
  message.SetCode(0xFFFF);
  message.SetId(0x80000000);
  EXPECT_EQ(std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<zvcp version=\"1\">\r\n"
                        "   <message code=\"65535\" id=\"-2147483648\">\r\n") +
                kTail,
            Xml(message));
  CSCPMessage back(Xml(message).c_str());
  EXPECT_EQ(0xFFFF, back.GetCode());
  EXPECT_EQ(0x80000000u, back.GetId());
  EXPECT_NE(std::string::npos, Xml(back).find("<zvcp version=\"1\">"));
}

TEST(XmlWriter, UnknownWireTypeIsWrittenAsItsNumber) {
  // A version 2 wire message with one variable of type code 9 (id 5).
  std::vector<unsigned char> wire =
      FromHex("0001 0000 00000018 00000001 00000001  00000005 09 00 0000");
  CSCPMessage message(reinterpret_cast<CSCP_MESSAGE *>(wire.data()), 2);
  message.SetCode(1);
  message.SetId(7);
  std::string xml = Xml(message);
  EXPECT_EQ(Doc(Variable("5", "9", "")), xml);
  CSCPMessage back(xml.c_str());
  EXPECT_FALSE(back.IsVariableExist(5));
}

TEST(EscapeStringForXML, EscapesMarkupAndControlBytes) {
  EXPECT_EQ("", Escape("", -1));
  EXPECT_EQ("", Escape("abc", 0));
  EXPECT_EQ("ab", Escape("ab\0cd", -1));
  EXPECT_EQ("a&lt;b&amp;&quot;c&apos;d&gt;", Escape("a<b&\"c'd>", -1));
  EXPECT_EQ("ab", Escape("abcd", 2));
  // A zero byte inside an explicit length ends the text.
  EXPECT_EQ("ab", Escape("ab\0cd", 5));
  EXPECT_EQ("&#x01;&#x09;&#x0A;&#x0D;&#x1F; \x7F\x80\xFF",
            Escape("\x01\t\n\r\x1F \x7F\x80\xFF", -1));
  std::string all;
  for (int b = 1; b < 0x20; b++) all += static_cast<char>(b);
  std::string expected;
  for (int b = 1; b < 0x20; b++) {
    char ref[8];
    snprintf(ref, sizeof(ref), "&#x%02X;", b);
    expected += ref;
  }
  EXPECT_EQ(expected, Escape(all.c_str(), -1));
}

TEST(XmlRoundTrip, LimitsOfEveryType) {
  CSCPMessage message(2);
  message.SetCode(0xFFFF);
  message.SetId(0xFFFFFFFF);
  message.SetVariable(1, static_cast<DWORD>(0));
  message.SetVariable(2, static_cast<DWORD>(0xFFFFFFFF));
  message.SetVariable(3, static_cast<DWORD>(0x80000000));
  message.SetVariable(4, static_cast<WORD>(0));
  message.SetVariable(5, static_cast<WORD>(0xFFFF));
  message.SetVariable(6, static_cast<QWORD>(0));
  message.SetVariable(7, static_cast<QWORD>(0x7FFFFFFFFFFFFFFFull));
  message.SetVariable(8, static_cast<QWORD>(0x8000000000000000ull));
  message.SetVariable(9, static_cast<QWORD>(0xFFFFFFFFFFFFFFFFull));
  message.SetVariable(0xFFFFFFFF, static_cast<DWORD>(42));
  const double doubles[] = {0.1,
                            1e300,
                            -0.0,
                            0.0,
                            1.0 / 3.0,
                            -2.5e-308,
                            std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::max(),
                            -std::numeric_limits<double>::max(),
                            std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity()};
  for (size_t i = 0; i < sizeof(doubles) / sizeof(doubles[0]); i++)
    message.SetVariable(100 + static_cast<DWORD>(i), doubles[i]);
  // NaNs of either sign, with and without a payload; a signalling NaN can only
  // come back quiet (quiet bit 51 set), since strtod makes no other.
  const uint64_t nans[][2] = {{0x7FF8000000000000ull, 0x7FF8000000000000ull},
                              {0xFFF8000000000000ull, 0xFFF8000000000000ull},
                              {0x7FF8000000000001ull, 0x7FF8000000000001ull},
                              {0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFFFFFFFFFull},
                              {0x7FFC0000DEADBEEFull, 0x7FFC0000DEADBEEFull},
                              {0x7FF0000000000001ull, 0x7FF8000000000001ull}};
  for (size_t i = 0; i < sizeof(nans) / sizeof(nans[0]); i++) {
    double value;
    memcpy(&value, &nans[i][0], sizeof(value));
    message.SetVariable(200 + static_cast<DWORD>(i), value);
  }

  std::string xml = Xml(message);
  CSCPMessage back(xml.c_str());
  EXPECT_EQ(0xFFFF, back.GetCode());
  EXPECT_EQ(0xFFFFFFFFu, back.GetId());
  EXPECT_EQ(0u, back.GetVariableLong(1));
  EXPECT_TRUE(back.IsVariableExist(1));
  EXPECT_EQ(0xFFFFFFFFu, back.GetVariableLong(2));
  EXPECT_EQ(0x80000000u, back.GetVariableLong(3));
  EXPECT_EQ(0, back.GetVariableShort(4));
  EXPECT_TRUE(back.IsVariableExist(4));
  EXPECT_EQ(0xFFFF, back.GetVariableShort(5));
  EXPECT_EQ(0u, back.GetVariableInt64(6));
  EXPECT_EQ(0x7FFFFFFFFFFFFFFFull, back.GetVariableInt64(7));
  EXPECT_EQ(0x8000000000000000ull, back.GetVariableInt64(8));
  EXPECT_EQ(0xFFFFFFFFFFFFFFFFull, back.GetVariableInt64(9));
  EXPECT_EQ(42u, back.GetVariableLong(0xFFFFFFFF));
  for (size_t i = 0; i < sizeof(doubles) / sizeof(doubles[0]); i++)
    EXPECT_EQ(Bits(doubles[i]), Bits(back.GetVariableDouble(100 + static_cast<DWORD>(i)))) << i;
  for (size_t i = 0; i < sizeof(nans) / sizeof(nans[0]); i++)
    EXPECT_EQ(nans[i][1], Bits(back.GetVariableDouble(200 + static_cast<DWORD>(i)))) << i;
  // And the document it writes is the one it was read from.
  EXPECT_EQ(xml, Xml(back));
}

TEST(XmlRoundTrip, FloatsKeepEveryBit) {
  std::mt19937_64 gen(5);
  CSCPMessage message;
  std::vector<double> values;
  for (DWORD i = 0; i < 2000; i++) {
    uint64_t bits = gen();
    double value;
    memcpy(&value, &bits, sizeof(value));
    if (isnan(value)) continue;
    values.push_back(value);
    message.SetVariable(static_cast<DWORD>(values.size()), value);
  }
  CSCPMessage back(Xml(message).c_str());
  for (size_t i = 0; i < values.size(); i++)
    ASSERT_EQ(Bits(values[i]), Bits(back.GetVariableDouble(static_cast<DWORD>(i + 1)))) << i;
}

// Switches LC_NUMERIC to a locale whose decimal point is a comma, compiling one
// into a temporary directory when none is installed. False if that fails.
bool UseCommaLocale(const std::string &dir) {
  if (setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr) return true;
  // The compiled locale is in the byte order of the C library that loads it; under
  // qemu-user the localedef that runs is the build machine's, so say which.
  const char *order = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? " --big-endian" : " --little-endian";
  std::string command = std::string("localedef") + order + " -i de_DE -f UTF-8 " + dir +
                        "/de_DE.UTF-8 >/dev/null 2>&1";
  if (system(command.c_str()) != 0) return false;
  setenv("LOCPATH", dir.c_str(), 1);
  return setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
}

TEST(XmlRoundTrip, FloatsIgnoreTheProcessLocale) {
  zavrin_test::TempFile scratch;
  std::string dir = scratch.path().substr(0, scratch.path().rfind('/'));
  if (!UseCommaLocale(dir)) GTEST_SKIP() << "no locale with a decimal comma";
  char check[16];
  snprintf(check, sizeof(check), "%.1f", 0.5);
  CSCPMessage message;
  message.SetVariable(1, 0.5);
  std::string xml = Xml(message);
  CSCPMessage back(xml.c_str());
  setlocale(LC_NUMERIC, "C");
  system(("rm -rf " + dir + "/de_DE.UTF-8").c_str());
  EXPECT_STREQ("0,5", check);  // the locale really is in effect
  EXPECT_NE(std::string::npos, xml.find("<value>0.5</value>"));
  EXPECT_EQ(0.5, back.GetVariableDouble(1));
}

TEST(XmlRoundTrip, StringsAndBinaries) {
  const char *strings[] = {
      "a<b&\"c'd>",
      "line\nfeed\ttab\rreturn",
      "caf\xC3\xA9 \xD0\xB4\xD0\xB0 \xE6\x97\xA5\xE6\x9C\xAC",
      "outside the BMP: \xF0\x9F\x98\x80 \xF0\x90\x8D\x88",
      "]]> &amp; <![CDATA[ x ]]>",
      " leading and trailing blanks ",
  };
  CSCPMessage message;
  for (DWORD i = 0; i < sizeof(strings) / sizeof(strings[0]); i++)
    message.SetVariable(i + 1, strings[i]);
  std::vector<BYTE> bytes(1000);
  std::mt19937 gen(3);
  for (auto &b : bytes) b = static_cast<BYTE>(gen());
  for (DWORD len = 1; len <= 5; len++) message.SetVariable(100 + len, bytes.data(), len);
  message.SetVariable(200, bytes.data(), static_cast<DWORD>(bytes.size()));

  CSCPMessage back(Xml(message).c_str());
  for (DWORD i = 0; i < sizeof(strings) / sizeof(strings[0]); i++)
    EXPECT_EQ(strings[i], Str(back, i + 1)) << i;
  for (DWORD len = 1; len <= 5; len++) {
    BYTE out[8];
    ASSERT_EQ(len, back.GetVariableBinary(100 + len, out, sizeof(out)));
    EXPECT_EQ(0, memcmp(bytes.data(), out, len));
  }
  std::vector<BYTE> out(bytes.size());
  ASSERT_EQ(bytes.size(), back.GetVariableBinary(200, out.data(), static_cast<DWORD>(out.size())));
  EXPECT_EQ(bytes, out);
}

TEST(XmlRoundTrip, EmptyValuesAreNotCreated) {
  CSCPMessage message;
  message.SetVariable(1, "");
  message.SetVariable(2, static_cast<const BYTE *>(nullptr), 0);
  message.SetVariable(3, static_cast<DWORD>(5));
  CSCPMessage back(Xml(message).c_str());
  EXPECT_FALSE(back.IsVariableExist(1));
  EXPECT_FALSE(back.IsVariableExist(2));
  EXPECT_EQ(5u, back.GetVariableLong(3));
}

TEST(XmlReader, TypeNamesAndNumbers) {
  CSCPMessage message(
      "<zvcp version=\"0x3\"><message code=\"0x10\" id=\"010\">"
      "<variable id=\"1\" type=\"INT32\"><value>0x10</value></variable>"
      "<variable id=\"2\" type=\"integer\"><value>5</value></variable>"
      "<variable ID=\"3\" TYPE=\"Int16\"><value>70000</value></variable>"
      "<variable id=\"4\" type=\"string\"><value>first</value></variable>"
      "<variable id=\"5\" type=\"binary\"><value>not base64!</value></variable>"
      "<variable id=\"4\" type=\"string\"><value>second</value></variable>"
      "<variable id=\"6\" type=\"int32\"><value>-1</value></variable>"
      "</message></zvcp>");
  EXPECT_EQ(16, message.GetCode());
  EXPECT_EQ(8u, message.GetId());
  EXPECT_EQ(16u, message.GetVariableLong(1));
  EXPECT_EQ(5u, message.GetVariableLong(2));  // unknown type: the one before it
  EXPECT_EQ(70000 & 0xFFFF, message.GetVariableShort(3));
  EXPECT_EQ("second", Str(message, 4));
  EXPECT_FALSE(message.IsVariableExist(5));
  EXPECT_EQ(0xFFFFFFFFu, message.GetVariableLong(6));
  char *xml = message.CreateXML();
  EXPECT_NE(nullptr, strstr(xml, "<zvcp version=\"3\">"));
  // The repeated id kept its first place.
  EXPECT_LT(strstr(xml, "variable id=\"4\""), strstr(xml, "variable id=\"6\""));
  free(xml);
}

TEST(XmlReader, ManyVariablesWithRepeatedIds) {
  // Thousands of ids, some named again far apart, others only once: the message
  // read holds each id once, in the place of its first naming, with its last value.
  std::mt19937 gen(11);
  std::vector<DWORD> order;                   // ids by first naming
  std::vector<std::pair<DWORD, DWORD>> last;  // id and latest value, by id
  std::string doc = "<zvcp><message>";
  for (DWORD i = 0; i < 6000; i++) {
    DWORD id = (i % 3 == 2 && !order.empty()) ? order[gen() % order.size()] : gen();
    DWORD value = gen();
    auto it = std::find_if(last.begin(), last.end(), [&](const auto &p) { return p.first == id; });
    if (it == last.end()) {
      order.push_back(id);
      last.emplace_back(id, value);
    } else {
      it->second = value;
    }
    doc += "<variable id=\"" + std::to_string(id) + "\" type=\"int32\"><value>" +
           std::to_string(value) + "</value></variable>";
  }
  doc += "</message></zvcp>";

  std::string expected;
  for (DWORD id : order) {
    auto it = std::find_if(last.begin(), last.end(), [&](const auto &p) { return p.first == id; });
    expected += Variable(std::to_string(static_cast<int32_t>(id)).c_str(), "int32",
                         std::to_string(static_cast<int32_t>(it->second)));
  }
  CSCPMessage message(doc.c_str());
  message.SetCode(1);
  message.SetId(7);
  EXPECT_EQ(Doc(expected), Xml(message));
}

TEST(XmlReader, DocumentWithoutZvcpOrTypes) {
  CSCPMessage message(
      "<message code=\"3\" id=\"4\">"
      "<variable id=\"1\"><value>12</value></variable>"
      "<variable id=\"2\" type=\"int32\"><value>12</value></variable>"
      "<variable><value>9</value></variable>"
      "</message>");
  EXPECT_EQ(3, message.GetCode());
  EXPECT_EQ(4u, message.GetId());
  EXPECT_FALSE(message.IsVariableExist(1));  // no type known yet
  EXPECT_EQ(12u, message.GetVariableLong(2));
  EXPECT_EQ(9u, message.GetVariableLong(0));  // no id: 0, type of the one before
}

TEST(XmlReader, ElementInsideValueEndsItsText) {
  CSCPMessage message(
      "<zvcp><message><variable id=\"1\" type=\"string\">"
      "<value>abc<b>def</b>ghi</value></variable>"
      "<variable id=\"2\" type=\"string\"><value>x<value>inner</value>tail</value></variable>"
      "</message></zvcp>");
  EXPECT_EQ("abc", Str(message, 1));
  EXPECT_EQ("inner", Str(message, 2));
}

TEST(XmlReader, KeepsWhatPrecedesAFault) {
  std::string variables = Variable("1", "int32", "11") + Variable("2", "string", "two");
  const char *faults[] = {
      "<value>&#x01;</value>",       // control character reference
      "<value>\xC3\x28</value>",     // invalid UTF-8
      "<value>\xFF</value>",         // invalid UTF-8
      "<value>a</valu>",             // mismatched tag
      "<value>&undefined;</value>",  // undefined entity
      "<value>a\x01</value>",        // raw control byte
  };
  for (const char *fault : faults) {
    std::string doc = kHead + variables + "      <variable id=\"3\" type=\"string\">" + fault +
                      "</variable>" + Variable("4", "int32", "44") + kTail;
    CSCPMessage message(doc.c_str());
    EXPECT_EQ(1, message.GetCode()) << fault;
    EXPECT_EQ(11u, message.GetVariableLong(1)) << fault;
    EXPECT_EQ("two", Str(message, 2)) << fault;
    EXPECT_FALSE(message.IsVariableExist(3)) << fault;
    EXPECT_FALSE(message.IsVariableExist(4)) << fault;
  }
}

TEST(XmlReader, EveryTruncationReadsAPrefix) {
  CSCPMessage message;
  message.SetCode(1);
  message.SetId(7);
  message.SetVariable(1, static_cast<DWORD>(11));
  message.SetVariable(2, "two");
  const BYTE bytes[] = {1, 2, 3, 4, 5};
  message.SetVariable(3, bytes, 5);
  std::string xml = Xml(message);
  for (size_t len = 0; len < xml.size(); len++) {
    CSCPMessage part(xml.substr(0, len).c_str());
    // A variable appears only once its value element has ended, and then whole.
    if (part.IsVariableExist(1)) {
      EXPECT_EQ(11u, part.GetVariableLong(1)) << len;
    }
    if (part.IsVariableExist(2)) {
      EXPECT_EQ("two", Str(part, 2)) << len;
      EXPECT_TRUE(part.IsVariableExist(1)) << len;
    }
    if (part.IsVariableExist(3)) {
      EXPECT_EQ(5u, part.GetVariableBinary(3, nullptr, 0)) << len;
      EXPECT_TRUE(part.IsVariableExist(2)) << len;
    }
  }
}

// A document type is read: internal entities expand, nothing outside the text
// is ever loaded, and expansion is bounded.
TEST(XmlReader, DocumentTypes) {
  zavrin_test::TempFile outside("FROM-OUTSIDE");
  std::string system = "\"" + outside.path() + "\"";
  const std::string body =
      "<zvcp><message code=\"5\"><variable id=\"1\" type=\"string\"><value>x&a;y</value>"
      "</variable></message></zvcp>";
  const struct {
    const char *name;
    std::string doctype;
    const char *value;
  } cases[] = {
      {"internal entity", "<!DOCTYPE zvcp [<!ENTITY a \"-&amp;-\">]>", "x-&-y"},
      {"nested entities", "<!DOCTYPE zvcp [<!ENTITY b \"bb\"><!ENTITY a \"&b;&b;\">]>", "xbbbby"},
      {"external entity", "<!DOCTYPE zvcp [<!ENTITY a SYSTEM " + system + ">]>", "xy"},
      {"external subset", "<!DOCTYPE zvcp SYSTEM " + system + " [<!ENTITY a \"1\">]>", "x1y"},
      {"parameter entity",
       "<!DOCTYPE zvcp [<!ENTITY % p SYSTEM " + system + "> %p; <!ENTITY a \"2\">]>", "xy"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::string doc = "<?xml version=\"1.0\"?>\n" + c.doctype + "\n" + body;
    CSCPMessage message(doc.c_str());
    EXPECT_EQ(5, message.GetCode());
    EXPECT_EQ(c.value, Str(message, 1));
  }
  CSCPMessage declared(
      "<!DOCTYPE zvcp><zvcp><message code=\"5\">"
      "<variable id=\"2\" type=\"int32\"><value>7</value></variable>"
      "</message></zvcp>");
  EXPECT_EQ(7u, declared.GetVariableLong(2));

  // A billion laughs: the parser stops at its amplification limit, with what
  // was read before the expansion.
  std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE zvcp [\n<!ENTITY lol \"lol\">\n";
  for (int i = 1; i < 10; i++) {
    laughs += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; j++)
      laughs += "&lol" + (i > 1 ? std::to_string(i - 1) : std::string()) + ";";
    laughs += "\">\n";
  }
  laughs +=
      "]>\n<zvcp><message code=\"5\"><variable id=\"1\" type=\"string\"><value>&lol9;</value>"
      "</variable></message></zvcp>";
  CSCPMessage message(laughs.c_str());
  EXPECT_EQ(5, message.GetCode());
  EXPECT_FALSE(message.IsVariableExist(1));
}

TEST(XmlReader, DeepNestingAndHugeValues) {
  std::string deep = "<zvcp><message code=\"9\">";
  for (int i = 0; i < 100000; i++) deep += "<a>";
  for (int i = 0; i < 100000; i++) deep += "</a>";
  deep += "<variable id=\"1\" type=\"int32\"><value>1</value></variable></message></zvcp>";
  CSCPMessage nested(deep.c_str());
  EXPECT_EQ(9, nested.GetCode());
  EXPECT_EQ(1u, nested.GetVariableLong(1));

  // 10 MB of text, and 2 MB delivered as one piece per entity reference.
  std::string big(10 * 1024 * 1024, 'x');
  std::string pieces;
  for (int i = 0; i < 400000; i++) pieces += "&amp;";
  std::string doc = "<zvcp><message><variable id=\"1\" type=\"string\"><value>" + big +
                    "</value></variable><variable id=\"2\" type=\"string\"><value>" + pieces +
                    "</value></variable></message></zvcp>";
  CSCPMessage huge(doc.c_str());
  EXPECT_EQ(big, Str(huge, 1));
  EXPECT_EQ(std::string(400000, '&'), Str(huge, 2));
}

TEST(XmlReader, DeclaredEncodings) {
  // Latin-1 is converted to UTF-8 by the parser; é is 0xE9 there.
  CSCPMessage latin1(
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><zvcp><message>"
      "<variable id=\"1\" type=\"string\"><value>caf\xE9</value></variable></message></zvcp>");
  EXPECT_EQ("caf\xC3\xA9", Str(latin1, 1));

  CSCPMessage unknown(
      "<?xml version=\"1.0\" encoding=\"X-NO-SUCH-CHARSET\"?><zvcp><message code=\"5\">"
      "<variable id=\"1\" type=\"int32\"><value>1</value></variable></message></zvcp>");
  EXPECT_EQ(0, unknown.GetCode());
  EXPECT_FALSE(unknown.IsVariableExist(1));
}

TEST(XmlReader, EmptyAndGarbageInput) {
  for (const char *input : {"", "   ", "<", "not xml at all", "<zvcp", "</zvcp>", "<?xml"}) {
    CSCPMessage message(input);
    EXPECT_EQ(0, message.GetCode()) << input;
    EXPECT_FALSE(message.IsVariableExist(0)) << input;
    char *xml = message.CreateXML();
    EXPECT_NE(nullptr, xml);
    free(xml);
  }
}
