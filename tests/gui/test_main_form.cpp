// The main window driven by messages.
#include <gtest/gtest.h>

#include "gui_support.h"
#include "ui/main_form.h"

namespace ostrel::gtest_gui {
namespace {

TEST(MainForm, OpensWithItsCaption) {
  ui::TostrelForm form;
  ASSERT_TRUE(form.create());
  form.show(SW_SHOWNORMAL);
  pumpPending();
  EXPECT_EQ(text(form.handle()), "Ostrel");
}

}  // namespace
}  // namespace ostrel::gtest_gui
