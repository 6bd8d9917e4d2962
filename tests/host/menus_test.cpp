// Menus: building, picking an item by its path, and taking menus apart.

#include "XPLMMenus.h"
#include "fixture.h"

using hosttest::Fresh;
using hosttest::WithFixture;

namespace {

std::vector<std::pair<std::string, std::string>> gPicks;

void handler(void *menuRef, void *itemRef) {
  gPicks.emplace_back(menuRef ? static_cast<const char *>(menuRef) : "-",
                      itemRef ? static_cast<const char *>(itemRef) : "-");
}

}  // namespace

class Menus : public ::testing::Test {
 protected:
  void SetUp() override { gPicks.clear(); }
  Fresh f;
};

TEST_F(Menus, PickingCallsTheHandlerOfTheMenuHoldingTheItem) {
  WithFixture p;
  EXPECT_TRUE(p.host.pickMenu({"Fixture", "Toggle Window"}));
  // The submenu's own title may stand in the path.
  EXPECT_TRUE(p.host.pickMenu({"Fixture", "Fixture Menu", "Toggle Window"}));
  const std::vector<std::string> expected = {"menu menuref 2", "menu menuref 2"};
  EXPECT_EQ(p.logOf("menu"), expected);
  EXPECT_FALSE(p.host.windows()[0].visible);  // toggled twice
}

TEST_F(Menus, PathsThatNameNoEnabledLeafPickNothing) {
  WithFixture p;
  p.clearLog();
  EXPECT_FALSE(p.host.pickMenu({}));
  EXPECT_FALSE(p.host.pickMenu({"Fixture"}));  // opens the submenu only
  EXPECT_FALSE(p.host.pickMenu({"Fixture", "Disabled"}));
  EXPECT_FALSE(p.host.pickMenu({"Fixture", "No Such Item"}));
  EXPECT_FALSE(p.host.pickMenu({"Nothing", "Toggle Window"}));
  EXPECT_FALSE(p.host.pickMenu({"Fixture", "Toggle Window", "Deeper"}));
  EXPECT_TRUE(p.log().empty());
}

TEST_F(Menus, TheTreeShowsItemsWithTheirReferences) {
  WithFixture p;
  const std::string tree = p.host.menuTree();
  EXPECT_NE(tree.find("Plugins"), std::string::npos);
  EXPECT_NE(tree.find("0: Fixture"), std::string::npos);
  EXPECT_NE(tree.find("Fixture Menu"), std::string::npos);
  EXPECT_NE(tree.find("Build Pane  [ref "), std::string::npos);
  EXPECT_NE(tree.find("\"1\"]"), std::string::npos);  // the reference's text
  EXPECT_NE(tree.find("2: ----"), std::string::npos);
  EXPECT_NE(tree.find("Disabled  [ref"), std::string::npos);
  EXPECT_NE(tree.find("[disabled]"), std::string::npos);
}

TEST_F(Menus, ItemsKeepNameReferenceAndFlags) {
  XPLMMenuID plugins = XPLMFindPluginsMenu();
  EXPECT_EQ(plugins, f.host.pluginsMenu());
  EXPECT_EQ(XPLMAppendMenuItem(plugins, "One", nullptr, 1), 0);
  EXPECT_EQ(XPLMAppendMenuItem(plugins, "Two", const_cast<char *>("r2"), 0), 1);
  XPLMMenuID sub = XPLMCreateMenu("Sub", plugins, 1, handler, const_cast<char *>("sub"));
  ASSERT_NE(sub, nullptr);
  XPLMAppendMenuItem(sub, "Leaf", const_cast<char *>("leaf"), 1);
  XPLMCheckMenuItem(sub, 0, xplm_Menu_Checked);
  XPLMMenuCheck check = xplm_Menu_NoCheck;
  XPLMCheckMenuItemState(sub, 0, &check);
  EXPECT_EQ(check, xplm_Menu_Checked);
  XPLMSetMenuItemName(sub, 0, "Renamed", 1);
  const auto menus = f.host.menus();
  ASSERT_EQ(menus.size(), 2u);
  EXPECT_EQ(menus[0].items[1].name, "Two");
  EXPECT_FALSE(menus[0].items[1].forceEnglish);
  EXPECT_EQ(menus[0].items[1].submenu, sub);
  EXPECT_EQ(menus[1].name, "Sub");
  EXPECT_TRUE(f.host.pickMenu({"Two", "Renamed"}));
  ASSERT_EQ(gPicks.size(), 1u);
  EXPECT_EQ(gPicks[0], std::make_pair(std::string("sub"), std::string("leaf")));
}

TEST_F(Menus, BadMenusAndIndicesAreRefused) {
  XPLMMenuID plugins = XPLMFindPluginsMenu();
  EXPECT_EQ(XPLMCreateMenu("Orphan", plugins, 5, handler, nullptr), nullptr);  // no item 5
  int fake = 0;
  EXPECT_EQ(XPLMCreateMenu("Orphan", &fake, 0, handler, nullptr), nullptr);
  EXPECT_EQ(XPLMAppendMenuItem(&fake, "x", nullptr, 1), -1);
  XPLMRemoveMenuItem(plugins, 3);
  XPLMSetMenuItemName(plugins, -1, "x", 1);
  XPLMDestroyMenu(plugins);  // the host's own menu stays
  EXPECT_EQ(f.host.menus().size(), 1u);
}

TEST_F(Menus, DestroyingAMenuTakesItsSubmenusAndDetachesItFromItsItem) {
  XPLMMenuID plugins = XPLMFindPluginsMenu();
  XPLMAppendMenuItem(plugins, "Top", nullptr, 1);
  XPLMMenuID top = XPLMCreateMenu("Top", plugins, 0, handler, nullptr);
  XPLMAppendMenuItem(top, "Inner", nullptr, 1);
  XPLMCreateMenu("Inner", top, 0, handler, nullptr);
  EXPECT_EQ(f.host.menus().size(), 3u);
  XPLMDestroyMenu(top);
  EXPECT_EQ(f.host.menus().size(), 1u);
  EXPECT_EQ(f.host.menus()[0].items[0].submenu, nullptr);
  EXPECT_FALSE(f.host.pickMenu({"Top", "Inner"}));
}

TEST_F(Menus, MenusInTheMenuBarArePickedByTitle) {
  XPLMMenuID bar = XPLMCreateMenu("Bar", nullptr, 0, handler, const_cast<char *>("bar"));
  XPLMAppendMenuItem(bar, "Item", const_cast<char *>("item"), 1);
  EXPECT_TRUE(f.host.pickMenu({"Bar", "Item"}));
  ASSERT_EQ(gPicks.size(), 1u);
  EXPECT_EQ(gPicks[0].first, "bar");
}
