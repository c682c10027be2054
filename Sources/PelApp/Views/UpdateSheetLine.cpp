#include "PelApp/Views/UpdateSheetLine.hpp"

#include "PelApp/Model/AppModel.hpp"
#include "PelApp/Views/UiKit.hpp"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QTextLayout>
#include <QToolButton>
#include <QVBoxLayout>

namespace pelapp::sheet {

namespace {

constexpr int kChipMaxWidth = 260;
constexpr QSize kSpinnerSize{36, 8};

QWidget* chipRow(QWidget* parent, const char* objectName) {
    auto* chip = new QWidget(parent);
    chip->setObjectName(objectName);
    auto* row = new QHBoxLayout(chip);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(4);
    return chip;
}

QLabel* caption(const QString& text, QWidget* parent, const char* objectName,
                ui::SystemColor color = ui::SystemColor::secondary) {
    QLabel* label = ui::plainLabel(text, parent);
    label->setObjectName(objectName);
    ui::styleLabel(label, ui::TextStyle::caption, color);
    return label;
}

QToolButton* cancelButton(QWidget* parent, const char* objectName, std::string_view help) {
    auto* button = new QToolButton(parent);
    button->setObjectName(objectName);
    button->setAutoRaise(true);
    button->setIcon(ui::symbolIcon("xmark.circle.fill", ui::systemColor(ui::SystemColor::red)));
    button->setToolTip(ui::localized(help));
    button->setAccessibleName(ui::localized(help));
    return button;
}

void setText(QLabel* label, const QString& text) {
    if (label->text() != text) label->setText(text);
}

} // namespace

QProgressBar* smallSpinner(QWidget* parent, const char* objectName) {
    auto* spinner = new QProgressBar(parent);
    spinner->setObjectName(objectName);
    spinner->setRange(0, 0);
    spinner->setTextVisible(false);
    spinner->setFixedSize(kSpinnerSize);
    return spinner;
}

LineView lineView(const AppModel& model, const AppRow& row) {
    LineView v;
    v.id = row.id;
    v.glyph = row.statusGlyph();
    v.color = row.statusColor();
    v.name = row.app.name;
    v.version = versionLine(row);
    v.chip = chip(row, model.updateQueue);
    if (v.chip == Chip::error) {
        v.errorCode = std::string(pelkit::rawValue(*row.errorCode));
        v.errorMessage = row.errorMessage;
    }
    const Bar b = bar(model, row.id);
    v.barShown = b.shown;
    v.barDeterminate = b.determinate;
    return v;
}

LineProgress lineProgress(const AppModel& model, const AppRow& row) {
    LineProgress p;
    if (row.updating) p.progressText = row.progressText;
    p.barValue = bar(model, row.id).value;
    return p;
}

QString twoLines(const QString& text, const QFont& font, int width) {
    // Breaks in the message would defeat the two-line limit; they read as blanks here.
    QString flat = text;
    flat.replace(QLatin1Char('\n'), QLatin1Char(' '));
    flat.replace(QLatin1Char('\r'), QLatin1Char(' '));
    QTextLayout layout(flat, font);
    layout.beginLayout();
    QStringList lines;
    int end = 0;
    while (lines.size() < 2) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(width);
        lines << flat.mid(line.textStart(), line.textLength()).trimmed();
        end = line.textStart() + line.textLength();
    }
    layout.endLayout();
    if (lines.isEmpty()) return {};
    if (end < flat.size()) {
        // More follows: the second line ends in an ellipsis.
        lines.back() = QFontMetrics(font).elidedText(lines.back() + QLatin1Char(' ') + flat.mid(end).trimmed(),
                                                     Qt::ElideRight, width);
    }
    return lines.join(QLatin1Char('\n'));
}

Line::Line(AppModel& model, std::string id, QWidget* parent) : QWidget(parent), model_(model), id_(std::move(id)) {
    setObjectName("updateSheetLine");
    auto* column = new QVBoxLayout(this);
    column->setSpacing(4);
    column->setContentsMargins(0, 4, 0, 4);
    auto* row = new QHBoxLayout;
    row->setSpacing(10);
    column->addLayout(row);

    glyph_ = ui::plainLabel({}, this);
    glyph_->setObjectName("statusGlyph");
    QFont glyphFont = ui::font(ui::TextStyle::body);
    glyphFont.setPixelSize(14);
    glyphFont.setBold(true);
    glyph_->setFont(glyphFont);
    row->addWidget(glyph_, 0, Qt::AlignVCenter);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    name_ = ui::plainLabel({}, this);
    name_->setObjectName("appName");
    QFont bold = ui::font(ui::TextStyle::body);
    bold.setBold(true);
    name_->setFont(bold);
    version_ = caption({}, this, "versionLine");
    texts->addWidget(name_);
    texts->addWidget(version_);
    row->addLayout(texts);
    row->addStretch(1);

    updating_ = chipRow(this, "updatingChip");
    updating_->layout()->addWidget(smallSpinner(updating_, "lineSpinner"));
    progressText_ = caption({}, updating_, "progressText");
    updating_->layout()->addWidget(progressText_);
    auto* cancel = cancelButton(updating_, "cancelUpdateButton", "Cancel this update");
    updating_->layout()->addWidget(cancel);
    connect(cancel, &QToolButton::clicked, this, [this] { model_.cancelOne(id_); });

    done_ = caption(ui::localized("Done"), this, "doneChip", ui::SystemColor::green);

    error_ = new QWidget(this);
    error_->setObjectName("errorChip");
    error_->setMaximumWidth(kChipMaxWidth);
    auto* errorColumn = new QVBoxLayout(error_);
    errorColumn->setContentsMargins(0, 0, 0, 0);
    errorColumn->setSpacing(2);
    errorCode_ = caption({}, error_, "errorCode", ui::SystemColor::red);
    QFont codeFont = errorCode_->font();
    codeFont.setBold(true);
    errorCode_->setFont(codeFont);
    errorMessage_ = caption({}, error_, "errorMessage");
    errorColumn->addWidget(errorCode_, 0, Qt::AlignRight);
    errorColumn->addWidget(errorMessage_, 0, Qt::AlignRight);
    errorCode_->setAlignment(Qt::AlignRight);
    errorMessage_->setAlignment(Qt::AlignRight);

    queued_ = chipRow(this, "queuedChip");
    queued_->layout()->addWidget(caption(ui::localized("Queued"), queued_, "queuedLabel"));
    auto* remove = cancelButton(queued_, "removeFromQueueButton", "Remove from queue");
    queued_->layout()->addWidget(remove);
    connect(remove, &QToolButton::clicked, this, [this] { model_.cancelOne(id_); });

    none_ = caption(ui::localized("—"), this, "noChip");

    for (QWidget* chip : {updating_, static_cast<QWidget*>(done_), error_, queued_, static_cast<QWidget*>(none_)}) {
        chip->hide();
        row->addWidget(chip, 0, Qt::AlignVCenter | Qt::AlignRight);
    }

    bar_ = new QProgressBar(this);
    bar_->setObjectName("downloadBar");
    bar_->setTextVisible(false);
    bar_->setMaximumHeight(8);
    bar_->hide();
    column->addWidget(bar_);
}

void Line::apply(const LineView& view) {
    setText(glyph_, ui::qs(view.glyph));
    QPalette palette = glyph_->palette();
    palette.setColor(QPalette::WindowText, ui::systemColor(view.color));
    glyph_->setPalette(palette);
    setText(name_, ui::qs(view.name));
    setText(version_, ui::qs(view.version));

    updating_->setVisible(view.chip == Chip::updating);
    done_->setVisible(view.chip == Chip::done);
    error_->setVisible(view.chip == Chip::error);
    queued_->setVisible(view.chip == Chip::queued);
    none_->setVisible(view.chip == Chip::none);
    if (view.chip == Chip::error) {
        setText(errorCode_, ui::qs(view.errorCode));
        errorMessage_->setVisible(view.errorMessage.has_value());
        if (view.errorMessage)
            setText(errorMessage_, twoLines(ui::qs(*view.errorMessage), errorMessage_->font(), kChipMaxWidth));
    }

    bar_->setVisible(view.barShown);
    // Indeterminate is Qt's empty range.
    const int maximum = view.barDeterminate ? kBarScale : 0;
    if (bar_->maximum() != maximum) bar_->setRange(0, maximum);
}

void Line::apply(const LineProgress& progress) {
    setText(progressText_, progress.progressText ? ui::qs(*progress.progressText) : ui::localized("working…"));
    if (bar_->maximum() > 0) bar_->setValue(progress.barValue);
}

} // namespace pelapp::sheet
