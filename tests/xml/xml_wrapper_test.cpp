#include "common/xml_wrapper.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "../support/temp_dir.h"
#include "common/str_conv.h"
#include "log/evt_log.h"

namespace {

using vesk::test::TempDir;

std::wstring W(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::string Doc(const std::string& root, const std::string& body) {
    return "<?xml version=\"1.0\"?>\n<" + root + ">" + body + "</" + root + ">\n";
}

struct OpenResult {
    std::unique_ptr<CXMLWrapper> wrapper;
    CElem* root;
};

OpenResult OpenText(const TempDir& dir, const std::string& text, const std::string& root = "FILE_INI") {
    dir.write("f.xml", text);
    auto w = OpenXMLWrapper(W(dir.file("f.xml")), W(root));
    CElem* r = w ? w->Root() : nullptr;
    return {std::move(w), r};
}

TEST(XmlWrapperOpen, FailuresGiveNoRootAndLogThePathAndCode) {
    struct Case {
        const char* what;
        std::string content;
        bool write;
        int32_t code;
    };
    const Case cases[] = {
        {"missing file", "", false, 1},
        {"a folder in place of the file", "", false, 1},
        {"empty file", "", true, 1},
        {"not xml", "this is not xml <<<", true, 1},
        {"unclosed root", "<FILE_INI><p n=\"a\">1</p>", true, 1},
        {"invalid utf-8 in a value", Doc("FILE_INI", "<p n=\"a\">\xC3\x28</p>"), true, 1},
        {"invalid utf-8 in a name", Doc("FILE_INI", "<e c=\"\xFF\xFE\" i=\"0\"/>"), true, 1},
        {"wrong root", Doc("FILE_INI", "<p n=\"a\">1</p>"), true, 3},
        {"root differs in case", Doc("info_VERSION_sw", ""), true, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        if (c.write) dir.write("f.xml", c.content);
        if (std::string(c.what) == "a folder in place of the file") dir.mkdir("f.xml");
        vesk::LogCapture log;
        auto w = OpenXMLWrapper(W(dir.file("f.xml")), L"info_version_sw");
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->Root(), nullptr);
        EXPECT_EQ(w->ErrorCode(), c.code);
        const std::string line = "VESK xmlDB Loader. 'xmlParseFile' on file '" + dir.file("f.xml") +
                                 "'. m_eERROR_CODE=" + std::to_string(c.code);
        EXPECT_TRUE(log.contains(line)) << line;
        EXPECT_TRUE(log.contains("ERROR"));
    }
}

TEST(XmlWrapperOpen, FifoInPlaceOfTheFileDoesNotBlock) {
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.file("f.xml").c_str(), 0600), 0);
    vesk::LogCapture log;
    auto w = OpenXMLWrapper(W(dir.file("f.xml")), L"FILE_INI");
    EXPECT_EQ(w->Root(), nullptr);
    EXPECT_EQ(w->ErrorCode(), 1);
}

TEST(XmlWrapperOpen, EncodingErrorsStayOffTheConsole) {
    const char* contents[] = {
        "<?xml version=\"1.0\" encoding=\"UTF-16\"?><FILE_INI/>",
        "<?xml version=\"1.0\" encoding=\"utf7\"?><FILE_INI>+AGEAYgBj-</FILE_INI>",
        "<?xml version=\"1.0\" encoding=\"no-such-charset\"?><FILE_INI/>",
        "<?xml version=\"1.0\" encoding=\"UTF-8-------\"?>\n<FILE_INI><p n=\"a\xDF\">1</p></FILE_INI>",
    };
    for (const char* content : contents) {
        SCOPED_TRACE(content);
        TempDir dir;
        testing::internal::CaptureStderr();
        auto [w, root] = OpenText(dir, content);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, "");
    }
}

TEST(XmlWrapperOpen, BuildsElementsPropertiesAndRootProperties) {
    TempDir dir;
    auto [w, root] = OpenText(dir, Doc("FILE_INI",
                                       "<p n=\"top\">T</p>"
                                       "<e c=\"LINGUE\" i=\"0\"><p n=\"LANG_SCELTA\">Italiano</p>"
                                       "  <e c=\"inner\" i=\"x\"><p n=\"k\">v</p></e></e>"
                                       "<e c=\"LINGUE\" i=\"1\"/>"));
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(w->ErrorCode(), 0);
    EXPECT_EQ(root->PropOrEmpty(L"top"), L"T");
    ASSERT_EQ(root->ChildCount(), 2u);
    CElem* first = root->FirstChild();
    EXPECT_EQ(first->Name(), L"LINGUE");
    EXPECT_EQ(first->Id(), L"0");
    EXPECT_EQ(first->PropOrEmpty(L"LANG_SCELTA"), L"Italiano");
    ASSERT_EQ(first->ChildCount(), 1u);
    EXPECT_EQ(first->FirstChild()->PropOrEmpty(L"k"), L"v");
    EXPECT_EQ(first->FirstChild()->Parent(), first);
    CElem* second = root->NextChild();
    EXPECT_EQ(second->Id(), L"1");
    EXPECT_EQ(root->NextChild(), nullptr);
    EXPECT_FALSE(root->IsModified());
}

TEST(XmlWrapperOpen, BadElementsAreTransparentAndBadPropertiesSkipped) {
    struct Case {
        const char* what;
        std::string body;
        int32_t code;
        // Property "k" is expected on the root with this value ("" = absent).
        std::wstring root_k;
        size_t root_children;
    };
    const Case cases[] = {
        {"e with i before c", "<e i=\"0\" c=\"S\"><p n=\"k\">v</p><e c=\"C\" i=\"1\"/></e>", 6, L"v", 1},
        {"e without attributes", "<e><p n=\"k\">v</p></e>", 4, L"v", 0},
        {"e with c only", "<e c=\"S\"><p n=\"k\">v</p></e>", 7, L"v", 0},
        {"e with c and x", "<e c=\"S\" x=\"0\"><p n=\"k\">v</p></e>", 9, L"v", 0},
        {"other element names", "<group><other><p n=\"k\">v</p></other></group>", 0, L"v", 0},
        {"p with empty text", "<p n=\"k\"></p>", 13, L"", 0},
        {"p with text starting with a line feed", "<p n=\"k\">\nv</p>", 15, L"", 0},
        {"p with only a line feed", "<p n=\"k\">\n</p>", 15, L"", 0},
        {"p without attributes", "<p>v</p>", 10, L"", 0},
        {"p with another attribute", "<p x=\"k\">v</p>", 12, L"", 0},
        {"p whose content is an element", "<p n=\"k\"><b/></p>", 14, L"", 0},
        {"first of two equal properties wins", "<p n=\"k\">first</p><p n=\"k\">second</p>", 0,
         L"first", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        vesk::LogCapture log;
        auto [w, root] = OpenText(dir, Doc("FILE_INI", c.body));
        ASSERT_NE(root, nullptr);
        EXPECT_EQ(w->ErrorCode(), c.code);
        EXPECT_EQ(root->PropOrEmpty(L"k"), c.root_k);
        EXPECT_EQ(root->Prop(L"k") != nullptr, !c.root_k.empty());
        EXPECT_EQ(root->ChildCount(), c.root_children);
        EXPECT_TRUE(log.lines().empty());
    }
}

// Documents with an internal DTD: entities are substituted by the parser and
// the tree holds only elements and their text; nothing outside the file is read.
TEST(XmlWrapperOpen, HostileDtdsGiveTheSubstitutedTreeOrNone) {
    TempDir dir;
    dir.write("secret.txt", "SECRET");
    dir.write("secret.dtd", "<!ENTITY s \"SECRET\"><!ATTLIST p n CDATA \"SECRET\">");
    const std::string secret = "file://" + dir.file("secret.txt");
    const std::string secret_dtd = "file://" + dir.file("secret.dtd");
    struct Case {
        const char* what;
        std::string text;
        int32_t code;
        // Root properties as "name=value;" in name order, then the root's
        // children as "name/identifier[properties];" (empty when no tree).
        // Nothing of the files outside (SECRET) may show up.
        std::string props;
        std::string children;
    };
    const std::string decl = "<?xml version=\"1.0\"?>\n";
    const Case cases[] = {
        {"entity referring to another, in a property",
         decl + "<!DOCTYPE FILE_INI [<!ENTITY a \"3\"><!ENTITY b \"&a;\">]>"
                "<FILE_INI><p n=\"MAJOR\">&b;</p></FILE_INI>",
         0, "MAJOR=3;", ""},
        {"entities nested three deep, in text and a property name",
         decl + "<!DOCTYPE FILE_INI [<!ENTITY a \"x\"><!ENTITY b \"&a;&a;\"><!ENTITY c \"[&b;]\">"
                "<!ENTITY k \"key&a;\">]><FILE_INI><p n=\"&k;\">&c;</p></FILE_INI>",
         0, "keyx=[xx];", ""},
        {"two entities with elements, each used once",
         decl + "<!DOCTYPE FILE_INI [<!ENTITY one \"<e c='S' i='1'><p n='k'>v1</p></e>\">"
                "<!ENTITY two \"<e c='S' i='2'/><p n='stray'>w</p>\">]>"
                "<FILE_INI>&one;<e c='T' i='0'>&two;</e></FILE_INI>",
         0, "", "S/1[k=v1;];T/0[stray=w;];"},
        {"entity used twice gives two elements",
         decl + "<!DOCTYPE FILE_INI [<!ENTITY s \"<e c='S' i='0'/>\">]><FILE_INI>&s;&s;</FILE_INI>",
         0, "", "S/0[];S/0[];"},
        {"entities referring to each other",
         decl + "<!DOCTYPE FILE_INI [<!ENTITY a \"x&b;\"><!ENTITY b \"y&a;\">]>"
                "<FILE_INI><p n=\"k\">&a;</p></FILE_INI>",
         1, "", ""},
        {"entity referring to itself",
         decl + "<!DOCTYPE FILE_INI [<!ENTITY a \"&a;\">]><FILE_INI><p n=\"k\">&a;</p></FILE_INI>",
         1, "", ""},
        {"exponential entities",
         decl + "<!DOCTYPE FILE_INI [<!ENTITY l0 \"lollollollollollollollollollol\">"
                "<!ENTITY l1 \"&l0;&l0;&l0;&l0;&l0;&l0;&l0;&l0;&l0;&l0;\">"
                "<!ENTITY l2 \"&l1;&l1;&l1;&l1;&l1;&l1;&l1;&l1;&l1;&l1;\">"
                "<!ENTITY l3 \"&l2;&l2;&l2;&l2;&l2;&l2;&l2;&l2;&l2;&l2;\">"
                "<!ENTITY l4 \"&l3;&l3;&l3;&l3;&l3;&l3;&l3;&l3;&l3;&l3;\">"
                "<!ENTITY l5 \"&l4;&l4;&l4;&l4;&l4;&l4;&l4;&l4;&l4;&l4;\">"
                "<!ENTITY l6 \"&l5;&l5;&l5;&l5;&l5;&l5;&l5;&l5;&l5;&l5;\">"
                "<!ENTITY l7 \"&l6;&l6;&l6;&l6;&l6;&l6;&l6;&l6;&l6;&l6;\">"
                "<!ENTITY l8 \"&l7;&l7;&l7;&l7;&l7;&l7;&l7;&l7;&l7;&l7;\">]>"
                "<FILE_INI><p n=\"k\">&l8;</p></FILE_INI>",
         1, "", ""},
        {"external entity",
         decl + "<!DOCTYPE FILE_INI [<!ENTITY x SYSTEM \"" + secret + "\">]>"
                "<FILE_INI><p n=\"k\">&x;</p><p n=\"other\">kept</p></FILE_INI>",
         13, "other=kept;", ""},
        {"external DTD",
         decl + "<!DOCTYPE FILE_INI SYSTEM \"" + secret_dtd + "\">"
                "<FILE_INI><p n=\"k\">&s;</p><p>v</p></FILE_INI>",
         10, "", ""},
        {"external parameter entity",
         decl + "<!DOCTYPE FILE_INI [<!ENTITY % p SYSTEM \"" + secret_dtd + "\"> %p;]>"
                "<FILE_INI><p n=\"k\">&s;</p><p n=\"other\">kept</p></FILE_INI>",
         1, "", ""},
        {"network entity",
         decl + "<!DOCTYPE FILE_INI [<!ENTITY x SYSTEM \"http://127.0.0.1:9/x\">]>"
                "<FILE_INI><p n=\"k\">&x;</p></FILE_INI>",
         13, "", ""},
        {"character references, CDATA, comments and PIs in a value",
         decl + "<?pi first?><!-- c --><FILE_INI><p n=\"&#x6B;\">&#x41;<!--x-->&#66;<?pi?>"
                "<![CDATA[<c>&amp;]]>&amp;</p><e c=\"&#83;\" i=\"&#x30;\"/></FILE_INI><!-- after -->",
         0, "k=AB<c>&amp;&;", "S/0[];"},
        {"a value that is only a comment", decl + "<FILE_INI><p n=\"k\"><!--v--></p></FILE_INI>",
         14, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        vesk::LogCapture log;
        auto [w, root] = OpenText(dir, c.text);
        ASSERT_NE(w, nullptr);
        std::string props, children;
        if (root) {
            auto describe = [](const CElem& e) {
                std::string out;
                if (const auto* p = e.Properties()) {
                    for (const auto& [k, v] : *p) out += vesk::to_utf8(k) + "=" + vesk::to_utf8(v) + ";";
                }
                return out;
            };
            props = describe(*root);
            if (const auto* list = root->Children()) {
                for (const auto& child : *list) {
                    children += vesk::to_utf8(child->Name()) + "/" + vesk::to_utf8(child->Id()) + "[" +
                                describe(*child) + "];";
                }
            }
        }
        EXPECT_EQ(w->ErrorCode(), c.code);
        EXPECT_EQ(root == nullptr, c.code == 1);
        EXPECT_EQ(props, c.props);
        EXPECT_EQ(children, c.children);
    }
}

TEST(XmlWrapperOpen, TreesNestedTooDeepAreRefused) {
    // Directly, and through entities, each of which nests a few elements more.
    std::string direct;
    for (int i = 0; i < 300; ++i) direct += "<e c=\"S\" i=\"" + std::to_string(i) + "\">";
    for (int i = 0; i < 300; ++i) direct += "</e>";
    std::string dtd = "<!ENTITY d0 \"<p n='k'>v</p>\">";
    std::string open, close;
    for (int i = 0; i < 20; ++i) {
        open += "<e c='S' i='" + std::to_string(i) + "'>";
        close += "</e>";
    }
    for (int i = 1; i <= 30; ++i) {
        dtd += "<!ENTITY d" + std::to_string(i) + " \"" + open + "&d" + std::to_string(i - 1) + ";" +
               close + "\">";
    }
    struct Case {
        const char* what;
        std::string text;
    } cases[] = {
        {"300 elements", Doc("FILE_INI", direct)},
        {"600 elements through 30 entities",
         "<?xml version=\"1.0\"?><!DOCTYPE FILE_INI [" + dtd + "]><FILE_INI>&d30;</FILE_INI>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        vesk::LogCapture log;
        auto [w, root] = OpenText(dir, c.text);
        EXPECT_EQ(root, nullptr);
        EXPECT_EQ(w->ErrorCode(), 1);
        EXPECT_TRUE(log.contains("VESK xmlDB Loader. 'xmlParseFile' on file '" + dir.file("f.xml") +
                                 "'. m_eERROR_CODE=1"));
    }
}

TEST(XmlWrapperOpen, ChildrenOfATransparentElementJoinTheEnclosingOne) {
    TempDir dir;
    auto [w, root] = OpenText(dir, Doc("FILE_INI",
                                       "<e c=\"S\" i=\"0\"><e i=\"1\" c=\"T\">"
                                       "<p n=\"k\">v</p><e c=\"U\" i=\"2\"/></e></e>"));
    ASSERT_NE(root, nullptr);
    CElem* s = root->FirstChild();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->PropOrEmpty(L"k"), L"v");
    ASSERT_EQ(s->ChildCount(), 1u);
    EXPECT_EQ(s->FirstChild()->Name(), L"U");
}

TEST(XmlWrapperOpen, FiftyMegabyteFileIsRead) {
    TempDir dir;
    const std::string value(1024 * 1024, 'v');
    std::string body;
    for (int i = 0; i < 50; ++i) {
        body += "<e c=\"S\" i=\"" + std::to_string(i) + "\"><p n=\"k\">" + value + "</p></e>\n";
    }
    auto [w, root] = OpenText(dir, Doc("FILE_INI", body));
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(root->ChildCount(), 50u);
    EXPECT_EQ(root->FirstChild()->PropOrEmpty(L"k").size(), value.size());
}

TEST(XmlWrapperOpen, ManyElementsWithEmptyIdentifiersGetDistinctOnes) {
    TempDir dir;
    std::string body;
    for (int i = 0; i < 20000; ++i) body += "<e c=\"S\" i=\"\"/>";
    auto [w, root] = OpenText(dir, Doc("FILE_INI", body));
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(root->ChildCount(), 20000u);
    EXPECT_EQ(root->FirstChild()->Id(), L"S.0");
    EXPECT_EQ(root->NextChild()->Id(), L"S.1");
}

TEST(XmlWrapperSave, SaveAndReopenKeepsNamesIdentifiersAndValues) {
    TempDir dir;
    auto w = NewXMLWrapper(L"info_version_sw");
    ASSERT_NE(w, nullptr);
    CElem* root = w->Root();
    ASSERT_NE(root, nullptr);
    root->SetProp(L"zeta", L"last", false);
    root->SetProp(L"alpha", L"first & <second>", false);
    CElem* a = root->AddChild(L"InfoSW", L"", true);
    a->SetPropInt32(L"MAJOR", -3);
    a->SetProp(L"PRODUCT_NAME", L"Vesk \u00e8 \u65e5\u672c \"quoted\"", false);
    a->SetProp(L"LINES", L"a\r\nb\tc", false);
    CElem* b = a->AddChild(L"child", L"id 1", false);
    b->SetProp(L"k", L" leading blank", false);
    root->AddChild(L"second", L"2", false);
    EXPECT_TRUE(root->IsModified());

    const std::wstring path = W(dir.file("out.xmv"));
    ASSERT_TRUE(w->SaveTree(path, false));
    EXPECT_FALSE(root->IsModified());

    auto again = OpenXMLWrapper(path, L"info_version_sw");
    ASSERT_NE(again->Root(), nullptr);
    CElem* r2 = again->Root();
    EXPECT_EQ(again->ErrorCode(), 0);
    EXPECT_TRUE(r2->SameProperties(*root));
    ASSERT_EQ(r2->ChildCount(), 2u);
    CElem* a2 = r2->FirstChild();
    EXPECT_EQ(a2->Name(), L"InfoSW");
    EXPECT_EQ(a2->Id(), a->Id());
    EXPECT_TRUE(a2->SameProperties(*a));
    ASSERT_EQ(a2->ChildCount(), 1u);
    EXPECT_EQ(a2->FirstChild()->Id(), L"id 1");
    EXPECT_TRUE(a2->FirstChild()->SameProperties(*b));
    EXPECT_EQ(r2->NextChild()->Name(), L"second");

    const std::string text = vesk::test::read_file(dir.file("out.xmv"));
    EXPECT_EQ(text.rfind("<?xml version=\"1.0\"", 0), 0u);
    // Properties in ascending name order, before the elements; "c" before "i".
    EXPECT_LT(text.find("n=\"alpha\""), text.find("n=\"zeta\""));
    EXPECT_LT(text.find("n=\"zeta\""), text.find("<e c=\"InfoSW\" i="));
}

TEST(XmlWrapperSave, CharactersXmlCannotHoldAreDroppedSoTheFileStaysReadable) {
    TempDir dir;
    auto w = NewXMLWrapper(L"FILE_INI");
    w->Root()->AddChild(L"S\x01", L"0", false)->SetProp(L"k", L"a\x02" L"b\x1f", false);
    const std::wstring path = W(dir.file("f.ini"));
    ASSERT_TRUE(w->SaveTree(path, false));
    auto again = OpenXMLWrapper(path, L"FILE_INI");
    ASSERT_NE(again->Root(), nullptr);
    EXPECT_EQ(again->Root()->FirstChild()->Name(), L"S");
    EXPECT_EQ(again->Root()->FirstChild()->PropOrEmpty(L"k"), L"ab");
}

TEST(XmlWrapperSave, FailsWithoutChildListOrWritablePath) {
    TempDir dir;
    // An opened file without any "e" has no children list.
    auto [w, root] = OpenText(dir, Doc("FILE_INI", "<p n=\"k\">v</p>"));
    ASSERT_NE(root, nullptr);
    vesk::LogCapture log;
    EXPECT_FALSE(w->SaveTree(W(dir.file("copy.ini")), false));

    auto n = NewXMLWrapper(L"FILE_INI");
    EXPECT_FALSE(n->SaveTree(W(dir.file("no/such/folder/f.ini")), false));
    EXPECT_FALSE(n->SaveTree(L"", false));
    EXPECT_TRUE(log.lines().empty());

    auto failed = OpenXMLWrapper(W(dir.file("missing.ini")), L"FILE_INI");
    EXPECT_FALSE(failed->SaveTree(W(dir.file("x.ini")), false));
}

TEST(XmlWrapperSave, SaveToOpenedFileRereadsIt) {
    TempDir dir;
    auto [w, root] = OpenText(dir, Doc("FILE_INI", "<e c=\"S\" i=\"0\"><p n=\"k\">v</p></e>"));
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(w->DocumentUrl(), W(dir.file("f.xml")));
    root->FirstChild()->ReplaceProp(L"k", L"changed");
    ASSERT_TRUE(w->SaveTree());
    EXPECT_EQ(w->DocumentUrl(), W(dir.file("f.xml")));
    auto again = OpenXMLWrapper(W(dir.file("f.xml")), L"FILE_INI");
    EXPECT_EQ(again->Root()->FirstChild()->PropOrEmpty(L"k"), L"changed");

    auto fresh = NewXMLWrapper(L"FILE_INI");
    EXPECT_FALSE(fresh->SaveTree());  // nothing was opened
}

TEST(XmlElem, GeneratedIdentifiers) {
    CElem root;
    CElem* a = root.AddChild(L"A", L"", false);
    EXPECT_EQ(a->Id(), L"A.0");
    CElem* b = root.AddChild(L"B", L"", true);
    EXPECT_EQ(b->Id(), L"B.1");
    CElem* forced = root.AddChild(L"C", L"x", true);
    EXPECT_EQ(forced->Id(), L"x.2");
    CElem* kept = root.AddChild(L"C", L"x", false);
    EXPECT_EQ(kept->Id(), L"x");
    // One level down: root's count, then the parent's count.
    CElem* deep = a->AddChild(L"D", L"", false);
    EXPECT_EQ(deep->Id(), L"D.4.0");

    // A sibling already holding the generated text gets "_1", then "_2".
    CElem p;
    p.AddChild(L"n", L"E.1", false);
    EXPECT_EQ(p.AddChild(L"E", L"", false)->Id(), L"E.1_1");
    CElem q;
    q.AddChild(L"n", L"E.2", false);
    q.AddChild(L"n", L"E.2_1", false);
    EXPECT_EQ(q.AddChild(L"E", L"", false)->Id(), L"E.2_2");

    // Ids freed by removal or renaming no longer count.
    CElem r;
    CElem* gone = r.AddChild(L"n", L"F.1", false);
    gone->SetId(L"other");
    EXPECT_EQ(r.AddChild(L"F", L"", false)->Id(), L"F.1");
    EXPECT_TRUE(r.RemoveChild(r.FindChild(nullptr, nullptr)));
    EXPECT_FALSE(r.RemoveChild(&root));
}

TEST(XmlElem, PropertiesAndModifiedMarks) {
    CElem root;
    CElem* s = root.AddChild(L"S", L"0", false);
    root.ClearModified();
    EXPECT_FALSE(root.IsModified());

    EXPECT_TRUE(s->SetProp(L"k", L"1", false));
    EXPECT_TRUE(root.IsModified());
    root.ClearModified();
    EXPECT_FALSE(s->SetProp(L"k", L"2", false));
    EXPECT_EQ(s->PropOrEmpty(L"k"), L"1");
    EXPECT_FALSE(root.IsModified());
    EXPECT_EQ(s->ReplaceProp(L"k", L"1"), L"1");
    EXPECT_FALSE(root.IsModified());  // same value: no change
    EXPECT_EQ(s->ReplacePropInt32(L"k", -17), L"-17");
    EXPECT_TRUE(root.IsModified());

    struct IntCase {
        const wchar_t* text;
        int32_t value;
    };
    const IntCase ints[] = {{L"42", 42}, {L"-5", -5}, {L"0x1F", 31}, {L"0X10", 16},
                            {L"junk", 0}, {L"99999999999", INT32_MAX}, {L"-0x10", -16}};
    for (const auto& c : ints) {
        s->ReplaceProp(L"n", c.text);
        int32_t v = 7;
        ASSERT_NE(s->GetPropInt32(L"n", v), nullptr);
        EXPECT_EQ(v, c.value) << std::string(c.text, c.text + wcslen(c.text));
    }
    int32_t untouched = 7;
    EXPECT_EQ(s->GetPropInt32(L"absent", untouched), nullptr);
    EXPECT_EQ(untouched, 7);

    bool flag = false;
    s->ReplaceProp(L"b", L"0");
    ASSERT_NE(s->GetPropBool(L"b", flag), nullptr);
    EXPECT_FALSE(flag);
    s->ReplaceProp(L"b", L"00");
    s->GetPropBool(L"b", flag);
    EXPECT_TRUE(flag);
    EXPECT_TRUE(s->RemoveProp(L"b"));
    EXPECT_FALSE(s->RemoveProp(L"b"));
}

TEST(XmlElem, CopyFindAndIteration) {
    CElem root;
    CElem* s = root.AddChild(L"S", L"0", false);
    s->SetProp(L"k", L"v", false);
    s->AddChild(L"T", L"9", false)->SetProp(L"x", L"y", false);
    auto copy = s->Copy();
    EXPECT_EQ(copy->Parent(), nullptr);
    EXPECT_TRUE(copy->SameProperties(*s));
    ASSERT_NE(copy->Find(L"T", L"9"), nullptr);
    EXPECT_EQ(copy->Find(L"T", L"9")->Parent(), copy.get());
    EXPECT_EQ(root.Find(L"T", L"8"), nullptr);

    CElem* attached = root.AttachCopy(*s);
    EXPECT_EQ(attached->Id(), L"0");  // not forced, not empty: kept
    const std::wstring name = L"S";
    const std::wstring id = L"0";
    EXPECT_EQ(root.FindChild(&name, &id), s);

    int seen = 0;
    for (CElem* c = root.FirstChild(); c; c = root.NextChild()) ++seen;
    EXPECT_EQ(seen, 2);
    root.RemoveAllChildren();
    EXPECT_EQ(root.FirstChild(), nullptr);
    EXPECT_EQ(root.ChildCount(), 0u);
}

}  // namespace
