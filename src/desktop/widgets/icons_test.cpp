#include "desktop/widgets/icons.h"

#include <gtest/gtest.h>

#include <QIcon>
#include <QImage>
#include <cstdlib>

#include "desktop/widgets/theme.h"
#include "desktop/widgets/widget_test_support.h"

namespace vek::desktop::widgets {
namespace {

// The icon desktops show for the installed app is the brand symbol of the window's sidebar.
TEST(AppIcon, IsTheSidebarBrandSymbol) {
  testing::application();
  constexpr int size = 96;
  QImage icon = QIcon(":/vek/vek-desktop.svg").pixmap(size, size).toImage();
  ASSERT_FALSE(icon.isNull());
  icon = icon.convertToFormat(QImage::Format_ARGB32);
  QImage brand = symbolPixmap("arrow.up.right.square.fill", accentColor(), size)
                     .toImage()
                     .convertToFormat(QImage::Format_ARGB32);
  ASSERT_EQ(icon.size(), brand.size());

  EXPECT_EQ(icon.pixelColor(2, 2).alpha(), 0);
  EXPECT_EQ(icon.pixelColor(size / 5, size * 4 / 5).rgb(), accentColor().rgb());
  int different = 0;
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      QColor a = icon.pixelColor(x, y), b = brand.pixelColor(x, y);
      if (std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
              std::abs(a.blue() - b.blue()) + std::abs(a.alpha() - b.alpha()) >
          24) {
        ++different;
      }
    }
  }
  EXPECT_EQ(different, 0);
}

}  // namespace
}  // namespace vek::desktop::widgets
