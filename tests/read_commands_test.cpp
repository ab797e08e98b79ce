// list, show and current through the binary: what they print from the
// state file and the catalogue, in text and JSON, and how they fail.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/sandbox.hpp"

namespace vorpel::testing {
namespace {

// work: installed and retained (the retained record differs from the
// declaration) and active; gone: retained, its declaration removed; other:
// installed only, packages in manifest order.
const char* const kState = R"toml(schema = 5
active_profile = "work"
introduced_packages = ["vim"]

[profiles.gone]
name = "Gone"

[profiles.work]
name = "Work (old)"
description = "old description"
packages = ["vim", "git"]
manage = ["a-b", "a/b"]
)toml";

void declare_world(const Sandbox& box) {
  box.write_manifest("work", "schema = 4\nname = \"Work\"\ndescription = \"Office\"\npackages = [\"zsh\"]\n"
                             "manage = [\".profile\"]\n");
  box.write_content("work", ".profile", "work\n");
  box.write_manifest("other", "schema = 4\nname = \"Other\"\npackages = [\"zsh\", \"git\"]\n");
  make_dirs(box.content_root("other"));
  box.write_state(kState);
}

TEST(ReadCommands, WithoutStateFileEveryInstalledProfileIsAvailable) {
  Sandbox box;
  box.add_profile("b", {"zsh", "git"}, {});
  box.add_profile("a", {}, {});

  const RunResult current = box.run({"current"});
  EXPECT_EQ(current.status, 0) << current.err;
  EXPECT_EQ(current.out, "Active Profile: none\nRetained Profiles: none\n");
  EXPECT_EQ(box.run({"current", "--json"}).out, "{\"activeProfile\":null,\"retainedProfiles\":[]}\n");

  const RunResult list = box.run({"list"});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out, "a (available)\n  a\nb (available)\n  b\n  packages: zsh, git\n");
  EXPECT_EQ(list.err, "");
  EXPECT_FALSE(path_exists(box.state_dir())) << "a read-only command created the state directory";
}

TEST(ReadCommands, NothingAtAllGivesAnEmptyListDocument) {
  Sandbox box;
  const RunResult r = box.run({"list", "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"activeProfile\":null,\"diagnostics\":[],\"profiles\":[]}\n");
  EXPECT_EQ(box.run({"list"}).out, "");
}

TEST(ReadCommands, ListShowsRetainedFirstThenAvailableOnce) {
  Sandbox box;
  declare_world(box);
  const RunResult r = box.run({"list"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "gone (retained, unavailable)\n"
            "  Gone\n"
            "work (active)\n"
            "  Work (old)\n"
            "  old description\n"
            "  packages: git, vim\n"
            "  managed: a/b, a-b\n"
            "other (available)\n"
            "  Other\n"
            "  packages: zsh, git\n");
}

TEST(ReadCommands, JsonDocumentsOfTheSmallWorld) {
  Sandbox box;
  declare_world(box);
  const RunResult list = box.run({"list", "--json"});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out,
            "{\"activeProfile\":\"work\",\"diagnostics\":[],\"profiles\":["
            "{\"description\":\"\",\"id\":\"gone\",\"managedPaths\":[],\"name\":\"Gone\",\"packages\":[],"
            "\"status\":\"unavailable\"},"
            "{\"description\":\"old description\",\"id\":\"work\",\"managedPaths\":[\"a/b\",\"a-b\"],"
            "\"name\":\"Work (old)\",\"packages\":[\"git\",\"vim\"],\"status\":\"active\"},"
            "{\"description\":\"\",\"id\":\"other\",\"managedPaths\":[],\"name\":\"Other\","
            "\"packages\":[\"zsh\",\"git\"],\"status\":\"available\"}]}\n");

  EXPECT_EQ(box.run({"show", "work", "--json"}).out,
            "{\"id\":\"work\",\"name\":\"Work (old)\",\"description\":\"old description\",\"status\":\"active\","
            "\"packages\":[\"git\",\"vim\"],\"managedPaths\":[\"a/b\",\"a-b\"]}\n");
  EXPECT_EQ(box.run({"show", "--json", "gone"}).out,
            "{\"id\":\"gone\",\"name\":\"Gone\",\"description\":\"\",\"status\":\"unavailable\","
            "\"packages\":[],\"managedPaths\":[]}\n");
  EXPECT_EQ(box.run({"show", "other", "--json"}).out,
            "{\"id\":\"other\",\"name\":\"Other\",\"description\":\"\",\"status\":\"available\","
            "\"packages\":[\"zsh\",\"git\"],\"managedPaths\":[]}\n");
  EXPECT_EQ(box.run({"current", "--json"}).out,
            "{\"activeProfile\":\"work\",\"retainedProfiles\":[\"gone\",\"work\"]}\n");
}

TEST(ReadCommands, ShowAndCurrentInText) {
  Sandbox box;
  declare_world(box);
  EXPECT_EQ(box.run({"show", "gone"}).out, "gone (retained, unavailable)\n  Gone\n");
  EXPECT_EQ(box.run({"show", "other"}).out, "other (available)\n  Other\n  packages: zsh, git\n");
  EXPECT_EQ(box.run({"current"}).out, "Active Profile: work\nRetained Profiles: gone, work\n");
}

TEST(ReadCommands, ActiveProfileWhoseDeclarationVanished) {
  Sandbox box;
  box.write_state("schema = 5\nactive_profile = \"gone\"\n[profiles.gone]\nname = \"Gone\"\nmanage = [\"x\"]\n");
  EXPECT_EQ(box.run({"list"}).out, "gone (active, unavailable)\n  Gone\n  managed: x\n");
  EXPECT_EQ(box.run({"show", "gone"}).out, "gone (active, unavailable)\n  Gone\n  managed: x\n");
  EXPECT_NE(box.run({"show", "gone", "--json"}).out.find("\"status\":\"unavailable\""), std::string::npos);
}

TEST(ReadCommands, RejectedProfileWarnsAndAppearsAmongDiagnostics) {
  Sandbox box;
  box.add_profile("good", {}, {});
  box.write_manifest("Bad", "schema = 4\nname = \"Bad\"\n");
  const std::string manifest = box.profile_root() + "/Bad/profile.toml";

  const RunResult json = box.run({"list", "--json"});
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.err, "invalid profile " + manifest + ": invalid profile id Bad\n");
  EXPECT_EQ(json.out, "{\"activeProfile\":null,\"diagnostics\":[{\"message\":\"invalid profile id Bad\",\"path\":\"" +
                          manifest +
                          "\"}],\"profiles\":[{\"description\":\"\",\"id\":\"good\",\"managedPaths\":[],"
                          "\"name\":\"good\",\"packages\":[],\"status\":\"available\"}]}\n");

  const RunResult text = box.run({"show", "good"});
  EXPECT_EQ(text.err, json.err) << "every catalogue command warns";
  EXPECT_EQ(text.out, "good (available)\n  good\n");
  EXPECT_EQ(box.run({"current"}).err, "") << "current does not read the catalogue";
}

TEST(ReadCommands, UnknownProfile) {
  Sandbox box;
  declare_world(box);
  for (const std::string id : {"nope", "Not An Id", ""}) {
    for (const bool json : {false, true}) {
      std::vector<std::string> words{"show", id};
      if (json) words.push_back("--json");
      const RunResult r = box.run(words);
      EXPECT_EQ(r.status, 2);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "error: unknown Profile " + id + "\n");
    }
  }
}

TEST(ReadCommands, BrokenStateFileIsReportedBeforeAnyReport) {
  const struct {
    std::string state;
    std::string error;  // after "error: "
  } rows[] = {
      {"schema = 5\nactive_profile = \"work\"\n", "active profile work is not retained"},
      {"schema = 5\n[profiles.p]\nname = \"P\"\nmanage = [\"a\", \"a/b\"]\n",
       "overlapping managed path a for profile p"},
  };
  for (const auto& row : rows) {
    Sandbox box;
    box.add_profile("work", {}, {});
    box.write_manifest("Bad", "schema = 4\nname = \"Bad\"\n");
    box.write_state(row.state);
    const std::string warning = "invalid profile " + box.profile_root() + "/Bad/profile.toml: invalid profile id Bad\n";
    for (const auto& words : std::vector<std::vector<std::string>>{
             {"list"}, {"list", "--json"}, {"show", "work"}, {"show", "nope", "--json"}}) {
      const RunResult r = box.run(words);
      EXPECT_EQ(r.status, 2) << words[0];
      EXPECT_EQ(r.out, "") << words[0];
      EXPECT_EQ(r.err, warning + "error: " + row.error + "\n") << words[0];
    }
    const RunResult current = box.run({"current", "--json"});
    EXPECT_EQ(current.status, 2);
    EXPECT_EQ(current.out, "");
    EXPECT_EQ(current.err, "error: " + row.error + "\n");
  }
}

TEST(ReadCommands, UnparsableStateFileNamesTheFile) {
  Sandbox box;
  box.write_state("schema = 5\nschema = 5\n");
  const RunResult r = box.run({"current"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("error: invalid manifest " + box.state_file() + ": ")) << r.err;
}

TEST(ReadCommands, CurrentWorksWhileTheProfileRootCannotBeListed) {
  Sandbox box;
  box.write_state("schema = 5\nactive_profile = \"w\"\n[profiles.w]\nname = \"W\"\n");
  const std::string root_file = box.root() + "/root-file";
  write_file(root_file, "");
  box.env["VORPEL_PROFILE_ROOT"] = root_file;

  const RunResult current = box.run({"current"});
  EXPECT_EQ(current.status, 0) << current.err;
  EXPECT_EQ(current.out, "Active Profile: w\nRetained Profiles: w\n");

  const std::string error =
      "error: I/O at " + root_file + ": Not a directory (os error 20): Not a directory (os error 20)\n";
  for (const auto& words : std::vector<std::vector<std::string>>{{"list"}, {"show", "w"}, {"list", "--json"}}) {
    const RunResult r = box.run(words);
    EXPECT_EQ(r.status, 2) << words[0];
    EXPECT_EQ(r.out, "") << words[0];
    EXPECT_EQ(r.err, error) << words[0];
  }
}

}  // namespace
}  // namespace vorpel::testing
