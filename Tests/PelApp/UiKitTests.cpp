#include "PelApp/Model/L10n.hpp"
#include "PelApp/Views/StripKit.hpp"
#include "PelApp/Views/SymbolNames.hpp"
#include "PelApp/Views/UiKit.hpp"

#include <QLabel>

#include <gtest/gtest.h>

#include <memory>

namespace {

using namespace pelapp;

TEST(UiKitTest, EverySymbolNameHasABundledIcon) {
    for (std::string_view name : kSymbolNames) {
        const QIcon icon = ui::symbolIcon(name);
        EXPECT_FALSE(icon.isNull()) << name;
        EXPECT_FALSE(icon.pixmap(16, 16).isNull()) << name;
        EXPECT_FALSE(ui::symbolIcon(name, ui::systemColor(ui::SystemColor::red)).isNull()) << name;
    }
    EXPECT_TRUE(ui::symbolIcon("no.such.symbol").isNull());
    EXPECT_TRUE(ui::symbolIcon("").isNull());
}

TEST(UiKitTest, IntegerPlaceholdersAreFilledInOrderInPlainDecimal) {
    EXPECT_EQ(L10n::text("Update Checked (%lld)", {0}), "Update Checked (0)");
    EXPECT_EQ(L10n::text("Updating %lld of %lld", {2, 5}), "Updating 2 of 5");
    EXPECT_EQ(L10n::text("%lld entries", {1234567}), "1234567 entries") << "no grouping separator";
    EXPECT_EQ(L10n::text("%lld entries", {-3}), "-3 entries");
    EXPECT_EQ(L10n::text("Updating %lld of %lld", {2}), "Updating 2 of %lld") << "a missing number leaves it";
    EXPECT_EQ(L10n::text("No numbers", {7}), "No numbers");
    EXPECT_EQ(L10n::text("%lld%lld", {1, 2}), "12");
    EXPECT_EQ(L10n::text("%ld and %d stay", {1}), "%ld and %d stay");
    EXPECT_EQ(L10n::text("app.name"), "Pelloran");
    EXPECT_EQ(ui::localized("Update Checked (%lld)", {3}), QString("Update Checked (3)"));
}

TEST(UiKitTest, InsertedTextFillsTheFirstPlaceholderVerbatim) {
    EXPECT_EQ(L10n::inserting("Rescan %@", "Prism & Lens"), "Rescan Prism & Lens");
    EXPECT_EQ(L10n::inserting("Rescan %@", "50%@ off"), "Rescan 50%@ off") << "the inserted text is not scanned";
    EXPECT_EQ(L10n::inserting("%@ and %@", "a"), "a and %@");
    EXPECT_EQ(L10n::inserting("No placeholder", "a"), "No placeholder");
    EXPECT_EQ(ui::localizedInserting("Written to %@", QString::fromUtf8("/tmp/é")),
              QString::fromUtf8("Written to /tmp/é"));
}

TEST(UiKitTest, DataIsShownAsPlainTextAndAmpersandsAreNotMnemonics) {
    EXPECT_EQ(ui::mnemonicSafe("Files & Folders…"), QString::fromUtf8("Files && Folders…"));
    EXPECT_EQ(ui::mnemonicSafe("A&&B"), QString("A&&&&B"));
    EXPECT_EQ(ui::actionText("Files & Folders…"), QString::fromUtf8("Files && Folders…"));

    const QString notes = "<b>New</b> & <script>x</script>";
    std::unique_ptr<QLabel> label(ui::plainLabel(notes));
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_EQ(label->text(), notes);

    const QString tip = ui::plainToolTip("Runs 'brew <x>' & more\nline two");
    EXPECT_TRUE(tip.contains("&lt;x&gt;")) << tip.toStdString();
    EXPECT_TRUE(tip.contains("&amp; more")) << tip.toStdString();
    EXPECT_FALSE(tip.contains("<x>"));
    EXPECT_TRUE(ui::plainToolTip("").isEmpty());
}

} // namespace
