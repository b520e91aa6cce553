// The module a host loads when it names none: the first place of the rule that has a file, and a
// failure that names every place looked at; the Driver follows the rule, and a path given wins.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "host/client/module_loader.h"
#include "qm4720/qm4720.hpp"

namespace {

namespace fs = std::filesystem;

TEST(DefaultModule, TheFirstPlaceWithAFileIsTakenElseEveryPlaceIsNamed) {
    // A folder of this run's own: other trees run this test at the same time.
    const fs::path dir = fs::temp_directory_path() /
                         ("qm4720-default-module-" + std::to_string(std::random_device{}()));
    fs::remove_all(dir);
    fs::create_directories(dir / "folder.so");
    const std::string file = (dir / "a.so").string();
    const std::string other = (dir / "b.so").string();
    std::ofstream(file) << "x";
    std::ofstream(other) << "x";
    const std::string folder = (dir / "folder.so").string();
    const std::string missing = (dir / "missing.so").string();
    // A package may install the module under a versioned name with the plain name a link to it.
    const std::string link = (dir / "link.so").string();
    const std::string dangling = (dir / "dangling.so").string();
    std::error_code noLinks;
    fs::create_symlink("a.so", link, noLinks);
    fs::create_symlink("gone.so.1", dangling, noLinks);

    struct Case {
        std::vector<std::string> places;
        std::string found;    // "" when none is a file
        std::string message;  // the failure's text then
    };
    const Case cases[] = {
        {{file, other}, file, ""},
        {{missing, other}, other, ""},
        {{missing, folder, file}, file, ""},  // a folder of the name is not the module
#ifndef _WIN32
        {{dangling, link}, link, ""},
        {{dangling}, "", "no driver module at " + dangling},
#endif
        {{missing}, "", "no driver module at " + missing},
        {{folder, missing}, "", "no driver module at " + folder + " or " + missing},
        {{missing, folder, missing + "2"},
         "",
         "no driver module at " + missing + ", " + folder + " or " + missing + "2"},
        {{}, "", "no place to look for the driver module"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.places.empty() ? "(none)" : c.places.front());
        std::string error;
        EXPECT_EQ(host::FirstExistingModule(c.places, error), c.found);
        EXPECT_EQ(error, c.message);
    }
    fs::remove_all(dir);
}

TEST(DefaultModule, PlacesRunFromBesideTheProgramToTheInstalledFolderEachOnce) {
    const std::vector<std::string> places = host::DefaultModuleCandidates();
    ASSERT_FALSE(places.empty());
    EXPECT_EQ(fs::path(places.front()).parent_path(),
              fs::path(host::ProgramDirectory()).lexically_normal().parent_path());
    for (std::size_t i = 0; i < places.size(); ++i) {
        EXPECT_EQ(places[i], fs::path(places[i]).lexically_normal().string());
        for (std::size_t j = 0; j < i; ++j) EXPECT_NE(places[i], places[j]);
    }
#ifndef _WIN32
    // The last resort of a program built elsewhere is the folder the install rules fill.
    EXPECT_EQ(places.back(), QM_TEST_INSTALLED_MODULE);
    ASSERT_GE(places.size(), 2u);
    EXPECT_EQ(places[1].find(".."), std::string::npos) << places[1];
#endif
}

// This program is built beside the module: named or not, the Driver loads that one; a path given
// is loaded as given even when the default would load.
TEST(DefaultModule, TheDriverLoadsTheDefaultUnlessAPathIsGiven) {
    qm4720::Driver byDefault;
    EXPECT_FALSE(byDefault.Load("", "")) << byDefault.Load("", "").message;
    EXPECT_EQ(byDefault.ParseRegister("SP").reg.index, 13);

    qm4720::Driver given;
    const qm4720::Error missing = given.Load("/nonexistent/qm4720.so", "");
    EXPECT_EQ(missing.code, qm4720::ErrorCode::kModule);
    EXPECT_NE(missing.message.find("/nonexistent/qm4720.so"), std::string::npos) << missing.message;
}

}  // namespace
