// XMP sidecars: figures merged in beside everything a photo manager wrote, verdicts as keywords and
// ratings, and replacement that is whole or nothing. Read back with Exiv2 and with exiftool.
#include "xmp_sidecar.hpp"

#include "exiv2_toolkit.hpp"
#include "process.hpp"

#include <exiv2/exiv2.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace dofmap {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::runCommand;
using testing::RunResult;
using testing::TemporaryDirectory;

// A sidecar as darktable writes one: a rating, keywords in both forms, a title, an edit history
// of structures and an empty array.
const char* const kDarktableSidecar = R"(<?xml version="1.0" encoding="UTF-8"?>
<x:xmpmeta xmlns:x="adobe:ns:meta/" x:xmptk="XMP Core 4.4.0-Exiv2">
 <rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">
  <rdf:Description rdf:about=""
    xmlns:exif="http://ns.adobe.com/exif/1.0/"
    xmlns:xmp="http://ns.adobe.com/xap/1.0/"
    xmlns:xmpMM="http://ns.adobe.com/xap/1.0/mm/"
    xmlns:dc="http://purl.org/dc/elements/1.1/"
    xmlns:lr="http://ns.adobe.com/lightroom/1.0/"
    xmlns:darktable="http://darktable.sf.net/"
   exif:DateTimeOriginal="2026:11:02 10:15:00"
   xmp:Rating="3"
   xmpMM:DerivedFrom="IMG_0001.CR2"
   darktable:import_timestamp="63861234567"
   darktable:xmp_version="5"
   darktable:history_end="2">
   <darktable:masks_history>
    <rdf:Seq/>
   </darktable:masks_history>
   <darktable:history>
    <rdf:Seq>
     <rdf:li darktable:num="0" darktable:operation="exposure" darktable:enabled="1"
      darktable:modversion="6" darktable:params="00000000cdcc4c3e" darktable:multi_name=""/>
     <rdf:li darktable:num="1" darktable:operation="filmicrgb" darktable:enabled="1"
      darktable:modversion="6" darktable:params="gz02eJxjYGBgYAFiAAAIAAI=" darktable:multi_name=""/>
    </rdf:Seq>
   </darktable:history>
   <dc:subject><rdf:Bag><rdf:li>holiday</rdf:li><rdf:li>dunes</rdf:li></rdf:Bag></dc:subject>
   <dc:title><rdf:Alt><rdf:li xml:lang="x-default">Dunes at dawn</rdf:li></rdf:Alt></dc:title>
   <lr:hierarchicalSubject><rdf:Bag><rdf:li>places|dunes</rdf:li></rdf:Bag></lr:hierarchicalSubject>
  </rdf:Description>
 </rdf:RDF>
</x:xmpmeta>
)";

const SidecarFigures kFigures{600, 400, 50.512072, 11.51951, 24.09759, 1.5, 30, std::nullopt};

fs::path written(const fs::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

// Every property of the sidecar as Exiv2 flattens it (struct fields and array items by their
// paths), with its value as text.
std::map<std::string, std::string> exiv2Properties(const fs::path& path)
{
    Exiv2::XmpData xmp;
    EXPECT_EQ(Exiv2::XmpParser::decode(xmp, readFile(path)), 0) << path;
    std::map<std::string, std::string> properties;
    for (const Exiv2::Xmpdatum& datum : xmp) properties[datum.key()] = datum.toString();
    return properties;
}

// Every tag exiftool reads from the sidecar, by group and name, structures whole; file-system
// tags left out.
nlohmann::json exiftoolTags(const fs::path& path)
{
    const RunResult result = runCommand({"exiftool", "-j", "-G1", "-struct", "-n", path.string()}, path.parent_path());
    EXPECT_EQ(result.status, 0) << result.err;
    nlohmann::json tags = nlohmann::json::parse(result.out).at(0);
    for (auto it = tags.begin(); it != tags.end();)
        it = it.key().rfind("System:", 0) == 0 || it.key() == "SourceFile" ? tags.erase(it) : std::next(it);
    return tags;
}

std::string property(const std::map<std::string, std::string>& properties, const std::string& key)
{
    const auto found = properties.find(key);
    return found == properties.end() ? "(absent)" : found->second;
}

TEST(XmpSidecar, MergeKeepsEveryForeignPropertyAsExiv2AndExiftoolReadThem)
{
    const TemporaryDirectory folder("dofmap-xmp");
    const fs::path path = written(folder.path() / "IMG_0001.CR2.xmp", kDarktableSidecar);
    const std::map<std::string, std::string> before = exiv2Properties(path);
    const nlohmann::json tagsBefore = exiftoolTags(path);
    ASSERT_GT(before.size(), 15u);
    ASSERT_TRUE(tagsBefore.contains("XMP-darktable:History")) << tagsBefore.dump(1);

    ASSERT_EQ(updateSidecar(path, kFigures, SidecarVerdict{true, 20.0, false, std::nullopt}).message(), "");

    // Only the keywords change among the properties that were there (the rating 3 is kept).
    const std::map<std::string, std::string> after = exiv2Properties(path);
    for (const auto& [key, value] : before) {
        if (key != "Xmp.dc.subject" && key != "Xmp.lr.hierarchicalSubject") {
            EXPECT_EQ(property(after, key), value) << key;
        }
    }
    EXPECT_EQ(property(after, "Xmp.dc.subject"), "holiday, dunes, blurry");
    EXPECT_EQ(property(after, "Xmp.lr.hierarchicalSubject"), "places|dunes, dofmap|blurry");
    EXPECT_EQ(property(after, "Xmp.xmp.Rating"), "3");

    nlohmann::json tagsAfter = exiftoolTags(path);
    EXPECT_EQ(tagsAfter["XMP-dc:Subject"], nlohmann::json({"holiday", "dunes", "blurry"}));
    EXPECT_EQ(tagsAfter["XMP-lr:HierarchicalSubject"], nlohmann::json({"places|dunes", "dofmap|blurry"}));
    EXPECT_EQ(tagsAfter["XMP-dofmap:MaxMean"], 50.512072);
    EXPECT_EQ(tagsAfter["XMP-dofmap:P90Mean"], 24.09759);
    EXPECT_EQ(tagsAfter["XMP-dofmap:Width"], 600);
    EXPECT_EQ(tagsAfter["XMP-dofmap:Window"], 30);
    EXPECT_EQ(tagsAfter["XMP-dofmap:Verdict"], "blurry");
    EXPECT_EQ(tagsAfter["XMP-dofmap:Threshold"], 20);
    for (const auto& [tag, value] : tagsBefore.items()) {
        if (tag != "XMP-dc:Subject" && tag != "XMP-lr:HierarchicalSubject") {
            EXPECT_EQ(tagsAfter[tag], value) << tag;
        }
    }
}

// Photo managers write an empty title and description as an x-default item with no text, some
// beside items in other languages, or as an alternative with no item: all come back as they were.
TEST(XmpSidecar, EmptyLanguageAlternativesAreKept)
{
    const TemporaryDirectory folder("dofmap-xmp");
    const fs::path path = written(folder.path() / "IMG_0002.xmp", R"(<x:xmpmeta xmlns:x="adobe:ns:meta/">
 <rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">
  <rdf:Description rdf:about="" xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:xmp="http://ns.adobe.com/xap/1.0/"
    xmp:Rating="2">
   <dc:title><rdf:Alt><rdf:li xml:lang="x-default"/></rdf:Alt></dc:title>
   <dc:description><rdf:Alt><rdf:li xml:lang="x-default"></rdf:li><rdf:li xml:lang="de-DE">Dünen</rdf:li></rdf:Alt>
   </dc:description>
   <dc:rights><rdf:Alt/></dc:rights>
  </rdf:Description>
 </rdf:RDF>
</x:xmpmeta>
)");
    const std::map<std::string, std::string> before = exiv2Properties(path);
    ASSERT_EQ(property(before, "Xmp.dc.title"), "lang=\"x-default\" ");

    ASSERT_EQ(updateSidecar(path, kFigures, std::nullopt).message(), "");
    std::map<std::string, std::string> after = exiv2Properties(path);
    for (auto it = after.begin(); it != after.end();)
        it = it->first.rfind("Xmp.dofmap.", 0) == 0 ? after.erase(it) : ++it;
    EXPECT_EQ(after, before) << readFile(path);
}

TEST(XmpSidecar, RatingsAreSetOnlyWhereAskedAndTakenBackWhenJudgedSharp)
{
    const TemporaryDirectory folder("dofmap-xmp");
    const std::string empty = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>";
    const auto rated = [](const std::string& rating) {
        return "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
               "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description rdf:about=\"\" "
               "xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" xmp:Rating=\"" +
            rating + "\"/></rdf:RDF></x:xmpmeta>";
    };
    const struct {
        const char* what;
        std::optional<std::string> sidecar;  // nullopt: no sidecar yet
        bool overwrite;
        std::string ratingWhenBlurry;
        std::string ratingWhenSharpAgain;
    } cases[] = {
        {"no sidecar", std::nullopt, false, "-1", "(absent)"},
        {"no rating", empty, false, "-1", "(absent)"},
        {"rating 0 means unrated", rated("0"), false, "-1", "(absent)"},
        {"a given rating is kept", rated("4"), false, "4", "4"},
        {"overwritten, and given back", rated("4"), true, "-1", "4"},
        {"rejected by the photographer", rated("-1"), false, "-1", "-1"},
    };
    for (const auto& c : cases) {
        const fs::path path = folder.path() / (std::string(c.what) + ".xmp");
        if (c.sidecar) written(path, *c.sidecar);
        ASSERT_EQ(updateSidecar(path, kFigures, SidecarVerdict{true, 60.0, c.overwrite, std::nullopt}).message(), "")
            << c.what;
        std::map<std::string, std::string> properties = exiv2Properties(path);
        EXPECT_EQ(property(properties, "Xmp.xmp.Rating"), c.ratingWhenBlurry) << c.what;
        EXPECT_EQ(property(properties, "Xmp.dc.subject"), "blurry") << c.what;
        // A second blurry verdict changes nothing more.
        ASSERT_EQ(updateSidecar(path, kFigures, SidecarVerdict{true, 60.0, c.overwrite, std::nullopt}).message(), "")
            << c.what;
        EXPECT_EQ(exiv2Properties(path), properties) << c.what;

        ASSERT_EQ(updateSidecar(path, kFigures, SidecarVerdict{false, 40.0, c.overwrite, std::nullopt}).message(), "")
            << c.what;
        properties = exiv2Properties(path);
        EXPECT_EQ(property(properties, "Xmp.xmp.Rating"), c.ratingWhenSharpAgain) << c.what;
        EXPECT_EQ(property(properties, "Xmp.dc.subject"), "(absent)") << c.what;
        EXPECT_EQ(property(properties, "Xmp.lr.hierarchicalSubject"), "(absent)") << c.what;
        EXPECT_EQ(property(properties, "Xmp.dofmap.Verdict"), "sharp") << c.what;
        EXPECT_EQ(property(properties, "Xmp.dofmap.MaxMean"), "50.512072") << c.what;
    }

    // What the photographer did after a verdict of blurry stays when the photo is judged sharp:
    // a keyword they gave themselves and a rating they changed.
    const fs::path path = folder.path() / "changed.xmp";
    ASSERT_EQ(updateSidecar(path, kFigures, SidecarVerdict{true, 60.0, false, std::nullopt}).message(), "");
    Exiv2::XmpData xmp;
    ASSERT_EQ(Exiv2::XmpParser::decode(xmp, readFile(path)), 0);
    xmp["Xmp.xmp.Rating"] = "2";
    std::string packet;
    ASSERT_EQ(Exiv2::XmpParser::encode(packet, xmp), 0);
    written(path, packet);
    ASSERT_EQ(updateSidecar(path, kFigures, SidecarVerdict{false, 40.0, false, std::nullopt}).message(), "");
    std::map<std::string, std::string> properties = exiv2Properties(path);
    EXPECT_EQ(property(properties, "Xmp.xmp.Rating"), "2");

    std::string ownKeyword = kDarktableSidecar;
    ownKeyword.replace(ownKeyword.find("<rdf:li>dunes"), 13, "<rdf:li>blurry");
    const fs::path own = written(folder.path() / "own keyword.xmp", ownKeyword);
    ASSERT_EQ(updateSidecar(own, kFigures, SidecarVerdict{true, 60.0, false, std::nullopt}).message(), "");
    EXPECT_EQ(property(exiv2Properties(own), "Xmp.lr.hierarchicalSubject"), "places|dunes, dofmap|blurry");
    ASSERT_EQ(updateSidecar(own, kFigures, SidecarVerdict{false, 40.0, false, std::nullopt}).message(), "");
    properties = exiv2Properties(own);
    EXPECT_EQ(property(properties, "Xmp.dc.subject"), "holiday, blurry");
    EXPECT_EQ(property(properties, "Xmp.lr.hierarchicalSubject"), "places|dunes");
    EXPECT_EQ(property(properties, "Xmp.xmp.Rating"), "3");
}

TEST(XmpSidecar, ReplacementIsWholeOrNothing)
{
    const TemporaryDirectory folder("dofmap-xmp");
    const fs::path path = written(folder.path() / "a.xmp", kDarktableSidecar);
    struct stat before { };
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    ASSERT_EQ(updateSidecar(path, kFigures, std::nullopt).message(), "");
    struct stat after { };
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << "the sidecar was rewritten in place, not replaced";
    EXPECT_EQ(property(exiv2Properties(path), "Xmp.dofmap.Verdict"), "(absent)");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1);

    // Content that is not XMP is left as it was, and so is a sidecar that cannot be read.
    const std::string notes = "notes about the shoot, not XMP\n";
    const fs::path text = written(folder.path() / "b.xmp", notes);
    EXPECT_EQ(updateSidecar(text, kFigures, std::nullopt).message(), "not an XMP sidecar");
    EXPECT_EQ(readFile(text), notes);
    const fs::path xml = written(folder.path() / "f.xmp", "<?xml version=\"1.0\"?><settings/>");
    EXPECT_EQ(updateSidecar(xml, kFigures, std::nullopt).message(), "not an XMP sidecar");
    const fs::path truncated = written(folder.path() / "c.xmp", std::string(kDarktableSidecar).substr(0, 900));
    EXPECT_EQ(updateSidecar(truncated, kFigures, std::nullopt).message(), "not an XMP sidecar");
    EXPECT_EQ(readFile(truncated), std::string(kDarktableSidecar).substr(0, 900));
    fs::create_directory(folder.path() / "d.xmp");
    EXPECT_EQ(updateSidecar(folder.path() / "d.xmp", kFigures, std::nullopt).message(), "is a directory");
    EXPECT_EQ(updateSidecar(folder.path() / "missing" / "e.xmp", kFigures, std::nullopt).message(),
              "no such file or directory");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 5);
}

// Exiv2's failures to read, to write or to have its memory are told apart from content that does
// not parse, which alone is "not an XMP sidecar".
TEST(XmpSidecar, Exiv2FailuresKeepTheirOwnReasons)
{
    const struct {
        Exiv2::ErrorCode code;
        std::string reason;
    } cases[] = {{Exiv2::kerMallocFailed, "out of memory"},
                 {Exiv2::kerInputDataReadFailed, "cannot read the metadata"},
                 {Exiv2::kerFailedToReadImageData, "cannot read the metadata"},
                 {Exiv2::kerImageWriteFailed, "cannot write the metadata"},
                 {Exiv2::kerEncodeLangAltPropertyFailed, "cannot write the metadata"},
                 {Exiv2::kerInvalidXMP, "not an XMP sidecar"},
                 {Exiv2::kerXMPToolkitError, "not an XMP sidecar"}};
    for (const auto& c : cases) {
        const Exiv2::Error thrown(c.code);
        EXPECT_EQ(describe(exiv2Failure(thrown.code(), IoReason::notXmpSidecar)), c.reason) << thrown.what();
    }
}

}  // namespace
}  // namespace dofmap
