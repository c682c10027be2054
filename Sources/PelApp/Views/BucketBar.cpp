#include "PelApp/Views/BucketBar.hpp"

#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Model/ModelRelay.hpp"
#include "PelApp/Views/ChipButton.hpp"
#include "PelApp/Views/StripKit.hpp"
#include "PelApp/Views/UiKit.hpp"
#include "PelApp/Views/WindowState.hpp"
#include "Platform/Unicode.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

#include <fmt/core.h>

#include <cstddef>
#include <string_view>

namespace pelapp {

using pelkit::SemverBucket;

QColor bucketColor(SemverBucket bucket) {
    switch (bucket) {
    case SemverBucket::major:
        return ui::systemColor(ui::SystemColor::red);
    case SemverBucket::minor:
        return ui::systemColor(ui::SystemColor::orange);
    case SemverBucket::patch:
        return ui::systemColor(ui::SystemColor::blue);
    case SemverBucket::other:
        return ui::systemColor(ui::SystemColor::gray);
    }
    return ui::systemColor(ui::SystemColor::gray);
}

QString lowercaseBucketLabel(SemverBucket bucket) {
    return ui::qs(platform::unicode::lowercase(pelkit::label(bucket)));
}

QString bucketChipText(SemverBucket bucket, int count) {
    return ui::qs(fmt::format("{} ({})", pelkit::label(bucket), count));
}

QString bucketChipHelp(SemverBucket bucket) {
    return ui::localizedInserting("Filter table to %@ updates only", lowercaseBucketLabel(bucket));
}

QString checkBucketItemText(SemverBucket bucket) {
    return ui::localizedInserting("Check all %@", lowercaseBucketLabel(bucket));
}

QMenu* makeBucketChipMenu(AppModel& model, SemverBucket bucket, QWidget* parent) {
    auto* menu = new QMenu(parent);
    menu->setObjectName("bucketChipMenu");
    auto* item = menu->addAction(ui::mnemonicSafe(checkBucketItemText(bucket)));
    item->setObjectName("checkBucketAction");
    QObject::connect(item, &QAction::triggered, menu, [&model, bucket] { model.checkBucket(bucket); });
    return menu;
}

BucketBar::BucketBar(AppModel& model, WindowState& state, QWidget* parent)
    : QWidget(parent), model_(model), state_(state) {
    setObjectName("bucketBar");
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    strip_ = new QWidget(this);
    strip_->setObjectName("bucketStrip");
    ui::fillBackground(strip_, ui::windowBackground());
    divider_ = ui::divider(this, "bucketBarDivider");
    column->addWidget(strip_);
    column->addWidget(divider_);

    auto* row = ui::stripLayout(strip_, 8, 12, 6);
    auto* groups = ui::plainLabel(ui::localized("Groups:"), strip_);
    groups->setObjectName("groupsLabel");
    ui::styleLabel(groups, ui::TextStyle::caption, ui::SystemColor::secondary);
    row->addWidget(groups, 0, Qt::AlignVCenter);

    for (std::size_t i = 0; i < chips_.size(); ++i) {
        const SemverBucket bucket = pelkit::semverBucketAllCases[i];
        auto* chip = new ui::ChipButton({}, bucketColor(bucket), strip_);
        chip->setObjectName(ui::qs(fmt::format("bucketChip_{}", pelkit::rawValue(bucket))));
        chip->setToolTip(ui::plainToolTip(bucketChipHelp(bucket)));
        chip->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(chip, &QAbstractButton::clicked, this, [this, bucket] { model_.toggleBucketFilter(bucket); });
        connect(chip, &QWidget::customContextMenuRequested, this, [this, chip, bucket](const QPoint& at) {
            QMenu* menu = makeBucketChipMenu(model_, bucket, chip);
            menu->setAttribute(Qt::WA_DeleteOnClose);
            menu->popup(chip->mapToGlobal(at));
        });
        chips_[i] = chip;
        row->addWidget(chip, 0, Qt::AlignVCenter);
    }

    auto captionButton = [this](std::string_view key, const char* objectName) {
        auto* button = ui::borderlessButton(key, objectName, strip_);
        button->setFont(ui::font(ui::TextStyle::caption));
        return button;
    };
    clearFilter_ = captionButton("Clear filter", "clearFilterButton");
    connect(clearFilter_, &QPushButton::clicked, this, [this] {
        model_.bucketFilter.reset();
        model_.changed(ModelChange::filters);
    });
    row->addWidget(clearFilter_, 0, Qt::AlignVCenter);
    row->addStretch(1);

    auto* checkVisible = captionButton("Check All Visible", "checkAllVisibleButton");
    checkVisible->setToolTip(
        ui::plainToolTip(ui::localized("Check every row currently shown, respecting active filters")));
    connect(checkVisible, &QPushButton::clicked, this, [this] { model_.checkAllVisible(); });
    uncheckAll_ = captionButton("Uncheck All", "uncheckAllButton");
    connect(uncheckAll_, &QPushButton::clicked, this, [this] {
        model_.checkedIDs.clear();
        model_.changed(ModelChange::selection);
    });
    row->addWidget(checkVisible, 0, Qt::AlignVCenter);
    row->addWidget(uncheckAll_, 0, Qt::AlignVCenter);

    auto* relay = new ModelRelay(model_, this);
    connect(relay, &ModelRelay::refresh, this, &BucketBar::refresh);
    connect(&state_, &WindowState::changed, this, [this] { refresh(0); });
    refresh(0);
}

void BucketBar::refresh(unsigned) {
    // Read once per redraw.
    const auto counts = model_.bucketCounts();
    for (std::size_t i = 0; i < chips_.size(); ++i) {
        const SemverBucket bucket = pelkit::semverBucketAllCases[i];
        int count = 0;
        for (const auto& [b, n] : counts) {
            if (b == bucket) count = n;
        }
        chips_[i]->setVisible(count > 0);
        chips_[i]->setText(bucketChipText(bucket, count));
        chips_[i]->setActive(model_.bucketFilter == bucket);
        chips_[i]->updateGeometry();
    }
    clearFilter_->setVisible(model_.bucketFilter.has_value());
    uncheckAll_->setEnabled(!model_.checkedIDs.empty());
    setVisible(!counts.empty());
}

} // namespace pelapp
