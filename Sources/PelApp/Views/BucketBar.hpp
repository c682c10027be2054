#pragma once

#include "PelKit/VersionCompare.hpp"

#include <QColor>
#include <QString>
#include <QWidget>

#include <array>

class QLabel;
class QMenu;
class QPushButton;

namespace pelapp {

class AppModel;
class WindowState;

namespace ui {
class ChipButton;
}

// A bucket's colour, its label lower-cased, its chip's text ("Bug fix (3)"), help text and context
// item text.
QColor bucketColor(pelkit::SemverBucket bucket);
QString lowercaseBucketLabel(pelkit::SemverBucket bucket);
QString bucketChipText(pelkit::SemverBucket bucket, int count);
QString bucketChipHelp(pelkit::SemverBucket bucket);
QString checkBucketItemText(pelkit::SemverBucket bucket);
// The chip's context menu: its one item ticks the bucket's rows.
QMenu* makeBucketChipMenu(AppModel& model, pelkit::SemverBucket bucket, QWidget* parent);

// The version-bucket bar above the table, with its divider: one chip per bucket that has rows;
// absent while no row belongs to a bucket.
class BucketBar final : public QWidget {
    Q_OBJECT
public:
    BucketBar(AppModel& model, WindowState& state, QWidget* parent = nullptr);

private:
    void refresh(unsigned groups);

    AppModel& model_;
    WindowState& state_;
    QWidget* strip_ = nullptr;
    QWidget* divider_ = nullptr;
    // One chip per bucket, in bucket order; hidden while its bucket has no rows.
    std::array<ui::ChipButton*, pelkit::semverBucketAllCases.size()> chips_{};
    QPushButton* clearFilter_ = nullptr;
    QPushButton* uncheckAll_ = nullptr;
};

} // namespace pelapp
