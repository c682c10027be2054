#include "PelApp/Model/AppModel.hpp"
#include "PelApp/ModelHarness.hpp"
#include "PelApp/StripsHarness.hpp"
#include "PelApp/Views/BucketBar.hpp"
#include "PelApp/Views/ChipButton.hpp"
#include "PelApp/Views/UiKit.hpp"
#include "PelApp/Views/WindowState.hpp"

#include <QAction>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

namespace {

using pelapp::BucketBar;
using pelapp::ModelChange;
using pelapp::ui::ChipButton;
using pelapptest::flushUi;
using pelapptest::makeRow;
using pelkit::Outcome;
using pelkit::SemverBucket;

class BucketBarTest : public ::testing::Test {
protected:
    void modelChanged() {
        h.model.changed(ModelChange::rows | ModelChange::filters | ModelChange::selection);
        flushUi();
    }
    // One major update, two bug-fix updates, and rows that belong to no bucket.
    void majorAndBugFixRows() {
        h.model.rows = {
            makeRow("com.major", "Major App", Outcome::outdated, "1.0.0", "2.0.0"),
            makeRow("com.fix1", "Fix One", Outcome::outdated, "1.0.0", "1.0.1"),
            makeRow("com.fix2", "Fix Two", Outcome::outdated, "3.2.1", "3.2.2"),
            makeRow("com.current", "Current", Outcome::upToDate, "1.0", "1.0"),
            makeRow("com.noversion", "No Version", Outcome::outdated, std::nullopt, "2.0", "major"),
        };
        modelChanged();
    }
    ChipButton* chip(SemverBucket bucket) const {
        return ui.find<ChipButton>(("bucketChip_" + std::string(pelkit::rawValue(bucket))).c_str());
    }
    void click(QAbstractButton* button) {
        QTest::mouseClick(button, Qt::LeftButton);
        flushUi();
    }
    std::vector<std::string> visibleChipsInOrder() const {
        std::vector<std::string> names;
        auto* layout = ui.find<QWidget>("bucketStrip")->layout();
        for (int i = 0; i < layout->count(); ++i) {
            auto* c = qobject_cast<ChipButton*>(layout->itemAt(i)->widget());
            if (c && c->isVisibleTo(&ui.host)) names.push_back(c->text().toStdString());
        }
        return names;
    }

    pelapptest::ModelHarness h;
    pelapp::WindowState state;
    pelapptest::Hosted<BucketBar> ui{h.model, state};
};

TEST_F(BucketBarTest, AbsentWithDividerWhileNoRowBelongsToABucket) {
    EXPECT_FALSE(ui.shows("bucketBar"));
    h.model.rows = {makeRow("com.current", "Current", Outcome::upToDate, "1.0", "1.0"),
                    makeRow("com.none", "None", Outcome::unresolved, "1.0")};
    modelChanged();
    EXPECT_FALSE(ui.shows("bucketBar"));
    EXPECT_FALSE(ui.shows("bucketBarDivider"));

    majorAndBugFixRows();
    EXPECT_TRUE(ui.shows("bucketBar"));
    EXPECT_TRUE(ui.shows("bucketBarDivider"));
    EXPECT_EQ(ui.find<QLabel>("groupsLabel")->text(), QString("Groups:"));
}

TEST_F(BucketBarTest, OneChipPerNonEmptyBucketInBucketOrderWithItsColour) {
    majorAndBugFixRows();
    EXPECT_EQ(visibleChipsInOrder(), (std::vector<std::string>{"Major (1)", "Bug fix (2)"}));
    EXPECT_EQ(chip(SemverBucket::major)->color(), pelapp::ui::systemColor(pelapp::ui::SystemColor::red));
    EXPECT_EQ(chip(SemverBucket::patch)->color(), pelapp::ui::systemColor(pelapp::ui::SystemColor::blue));
    EXPECT_EQ(chip(SemverBucket::minor)->color(), pelapp::ui::systemColor(pelapp::ui::SystemColor::orange));
    EXPECT_EQ(chip(SemverBucket::other)->color(), pelapp::ui::systemColor(pelapp::ui::SystemColor::gray));

    // Only bug-fix updates: a single blue chip.
    h.model.rows.erase(h.model.rows.begin());
    modelChanged();
    EXPECT_EQ(visibleChipsInOrder(), (std::vector<std::string>{"Bug fix (2)"}));
}

TEST_F(BucketBarTest, ChipHelpAndContextItemUseTheLowerCaseLabel) {
    struct Case {
        SemverBucket bucket;
        const char* help;
        const char* item;
    };
    const Case cases[] = {
        {SemverBucket::major, "Filter table to major updates only", "Check all major"},
        {SemverBucket::minor, "Filter table to minor updates only", "Check all minor"},
        {SemverBucket::patch, "Filter table to bug fix updates only", "Check all bug fix"},
        {SemverBucket::other, "Filter table to other updates only", "Check all other"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.item);
        EXPECT_EQ(pelapp::bucketChipHelp(c.bucket), QString(c.help));
        EXPECT_EQ(chip(c.bucket)->toolTip(), pelapp::ui::plainToolTip(QString(c.help)));
        std::unique_ptr<QMenu> menu(pelapp::makeBucketChipMenu(h.model, c.bucket, nullptr));
        ASSERT_EQ(menu->actions().size(), 1);
        EXPECT_EQ(menu->actions()[0]->text(), QString(c.item));
    }
}

TEST_F(BucketBarTest, ContextItemTicksTheBucketsRowsAndKeepsOtherTicks) {
    majorAndBugFixRows();
    h.model.checkedIDs = {"com.current"};
    std::unique_ptr<QMenu> menu(pelapp::makeBucketChipMenu(h.model, SemverBucket::patch, nullptr));
    menu->actions()[0]->trigger();
    EXPECT_EQ(h.model.checkedIDs, (std::set<std::string>{"com.current", "com.fix1", "com.fix2"}));
}

TEST_F(BucketBarTest, ChipTogglesTheFilterAndTheActiveChipIsFilledWithWhiteText) {
    majorAndBugFixRows();
    click(chip(SemverBucket::patch));
    EXPECT_EQ(h.model.bucketFilter, SemverBucket::patch);
    EXPECT_TRUE(chip(SemverBucket::patch)->isActive());
    EXPECT_FALSE(chip(SemverBucket::major)->isActive());

    const QColor blue = pelapp::ui::systemColor(pelapp::ui::SystemColor::blue);
    const QImage active = chip(SemverBucket::patch)->grab().toImage();
    const QImage outlined = chip(SemverBucket::major)->grab().toImage();
    const QColor red = pelapp::ui::systemColor(pelapp::ui::SystemColor::red);
    // Inside the rounded frame, past the text.
    EXPECT_EQ(active.pixelColor(active.width() - 4, active.height() / 2).rgb(), blue.rgb());
    EXPECT_NE(outlined.pixelColor(outlined.width() - 4, outlined.height() / 2).rgb(), red.rgb());
    auto hasWhite = [](const QImage& image) {
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixelColor(x, y).rgb() == QColor(Qt::white).rgb()) return true;
        return false;
    };
    EXPECT_TRUE(hasWhite(active));

    click(chip(SemverBucket::major));
    EXPECT_EQ(h.model.bucketFilter, SemverBucket::major);
    click(chip(SemverBucket::major));
    EXPECT_EQ(h.model.bucketFilter, std::nullopt);
    EXPECT_FALSE(chip(SemverBucket::major)->isActive());
}

TEST_F(BucketBarTest, ClearFilterShowsOnlyWhileAFilterIsSet) {
    majorAndBugFixRows();
    EXPECT_FALSE(ui.shows("clearFilterButton"));
    h.model.toggleBucketFilter(SemverBucket::minor);
    modelChanged();
    // The filter's bucket has no rows: no chip is active, yet the filter can be lifted.
    EXPECT_TRUE(ui.shows("clearFilterButton"));
    click(ui.find<QPushButton>("clearFilterButton"));
    EXPECT_EQ(h.model.bucketFilter, std::nullopt);
    EXPECT_FALSE(ui.shows("clearFilterButton"));
}

TEST_F(BucketBarTest, CheckAllVisibleIsAlwaysEnabledAndUncheckAllOnlyWithTicks) {
    majorAndBugFixRows();
    auto* checkVisible = ui.find<QPushButton>("checkAllVisibleButton");
    auto* uncheck = ui.find<QPushButton>("uncheckAllButton");
    EXPECT_EQ(checkVisible->toolTip(),
              pelapp::ui::plainToolTip("Check every row currently shown, respecting active filters"));
    EXPECT_TRUE(checkVisible->isEnabled());
    EXPECT_FALSE(uncheck->isEnabled());

    h.model.toggleBucketFilter(SemverBucket::patch);
    modelChanged();
    click(checkVisible);
    EXPECT_EQ(h.model.checkedIDs, (std::set<std::string>{"com.fix1", "com.fix2"}));
    EXPECT_TRUE(uncheck->isEnabled());
    EXPECT_TRUE(checkVisible->isEnabled());

    click(uncheck);
    EXPECT_TRUE(h.model.checkedIDs.empty());
    EXPECT_FALSE(uncheck->isEnabled());
}

} // namespace
