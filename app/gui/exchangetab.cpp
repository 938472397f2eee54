// SPDX-License-Identifier: MIT
#include "app/gui/exchangetab.h"

#include "app/core/modbuslink.h"
#include "app/core/readingrun.h"
#include "app/core/runprogress.h"
#include "app/gui/framelistmodel.h"
#include "platform/messagesink.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QVBoxLayout>

#include <memory>

#include "platform/replacefile.h"

namespace gui {

namespace {

// Pending events are handled during a search at most this often.
constexpr qint64 kEventIntervalMs = 40;

// What "Применить" under the diagnosis sets.
QString SettingText(const core::TLineSetting& setting) {
    switch (setting.kind) {
    case core::TLineSetting::AnswerTime:
        return QStringLiteral("Время ожидания ответа: %1 мс").arg(setting.value);
    case core::TLineSetting::Address:
        return QStringLiteral("Адрес прибора: %1").arg(setting.value);
    case core::TLineSetting::None:
        break;
    }
    return {};
}

// The frame list: rows one line high, the time, direction, record and meaning as wide as their
// texts, and the bytes, which a line monitor is for, in all the rest.
void SetupFrameView(QTableView* view) {
    QHeaderView* rows = view->verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(view->fontMetrics().height() + 4);
    view->setWordWrap(false);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    QHeaderView* columns = view->horizontalHeader();
    columns->setStretchLastSection(false);
    const QFontMetrics fm = view->fontMetrics();
    const int pad = 2 * fm.averageCharWidth() + 4;
    const auto fixed = [&](int column, const QString& widest) {
        columns->setSectionResizeMode(column, QHeaderView::Interactive);
        view->setColumnWidth(column, fm.horizontalAdvance(widest) + pad);
    };
    fixed(TFrameListModel::TimeColumn, QStringLiteral("00:00:00.000000"));
    fixed(TFrameListModel::DirectionColumn, QStringLiteral("——"));
    fixed(TFrameListModel::RecordColumn, QStringLiteral("65535, повтор 9"));
    fixed(TFrameListModel::MeaningColumn, QStringLiteral("ответ: адрес 247, функция 65, принят"));
    columns->setSectionResizeMode(TFrameListModel::BytesColumn, QHeaderView::Stretch);
    // The meaning is measured on the rows around the visible ones only.
    columns->setResizeContentsPrecision(200);
}

// The meaning column as wide as its texts, at most two fifths of the list: the bytes keep the
// rest.
void FitMeaningColumn(QTableView* view) {
    const int least = view->fontMetrics().horizontalAdvance(
        QStringLiteral("ответ: адрес 247, функция 65, принят"));
    const int most = std::max(least, view->viewport()->width() * 2 / 5);
    const QAbstractItemView* items = view; // the table's measure, public in its base
    view->setColumnWidth(
        TFrameListModel::MeaningColumn,
        std::clamp(items->sizeHintForColumn(TFrameListModel::MeaningColumn), least, most));
}

QString ChooseTextFile(QWidget* parent, const QString& proposed) {
    return QFileDialog::getSaveFileName(parent, QStringLiteral("Сохранить журнал обмена"), proposed,
                                        QStringLiteral("Текстовый файл (*.txt)"));
}

} // namespace

TExchangeTab::TExchangeTab(core::IModbusLink& library, platform::IMessageSink& messages,
                           TExchangeTabHooks hooks, QWidget* parent)
    : QWidget(parent), m_lib(library), m_messages(messages), m_hooks(std::move(hooks)),
      m_chooseFile(ChooseTextFile) {
    m_model = new TFrameListModel(this);
    m_fanOut.add(m_model);
    m_fanOut.add(&m_diagnosisGate);
    createControls();
}

void TExchangeTab::createControls() {
    setObjectName(QStringLiteral("tsExchange"));
    frameView = new QTableView(this);
    frameView->setObjectName(QStringLiteral("frameView"));
    frameView->setModel(m_model);
    SetupFrameView(frameView);
    connect(m_model, &QAbstractItemModel::rowsInserted, frameView, [this] {
        if (isVisible())
            FitMeaningColumn(frameView);
    });
    diagnosisText = new QPlainTextEdit(this);
    diagnosisText->setObjectName(QStringLiteral("diagnosisText"));
    diagnosisText->setReadOnly(true);
    diagnosisText->setPlaceholderText(QStringLiteral("Диагноз появится после неудачного чтения."));
    adviceBox = new QWidget(this);
    adviceBox->setObjectName(QStringLiteral("adviceBox"));
    new QVBoxLayout(adviceBox);
    adviceBox->layout()->setContentsMargins(0, 0, 0, 0);
    adviceBox->hide();

    auto* lower = new QWidget(this);
    auto* lowerLayout = new QVBoxLayout(lower);
    lowerLayout->setContentsMargins(0, 0, 0, 0);
    lowerLayout->addWidget(diagnosisText, 1);
    lowerLayout->addWidget(adviceBox);
    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(frameView);
    split->addWidget(lower);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->addWidget(split, 1);
    root->addLayout(createSearchControls());
}

QLayout* TExchangeTab::createSearchControls() {
    btnCopy = new QPushButton(QStringLiteral("Копировать"), this);
    btnSave = new QPushButton(QStringLiteral("Сохранить журнал обмена..."), this);
    btnSearch = new QPushButton(QStringLiteral("Найти прибор"), this);
    btnSearch->setObjectName(QStringLiteral("btnSearch"));
    btnStopSearch = new QPushButton(QStringLiteral("Остановить"), this);
    btnApply = new QPushButton(QStringLiteral("Применить"), this);
    btnStopSearch->setEnabled(false);
    btnApply->setEnabled(false);
    btnApply->setToolTip(QStringLiteral("Адрес и скорость найденного прибора — в поля окна"));
    searchProgress = new QProgressBar(this);
    searchProgress->setTextVisible(false);
    lblSearchPosition = new QLabel(this);
    lblSearchPosition->setObjectName(QStringLiteral("lblSearchPosition"));
    lblSearch = new QLabel(this);
    lblSearch->setObjectName(QStringLiteral("lblSearch"));
    QFont big = lblSearch->font();
    big.setBold(true);
    big.setPixelSize(std::max(big.pixelSize(), 11) + 3);
    lblSearch->setFont(big);

    auto* buttons = new QHBoxLayout;
    for (QWidget* w : {static_cast<QWidget*>(btnCopy), static_cast<QWidget*>(btnSave)})
        buttons->addWidget(w);
    buttons->addSpacing(16);
    for (QWidget* w : {btnSearch, btnStopSearch})
        buttons->addWidget(w);
    buttons->addWidget(searchProgress, 1);
    auto* result = new QHBoxLayout;
    result->addWidget(lblSearchPosition);
    result->addWidget(lblSearch);
    result->addWidget(btnApply);
    result->addStretch(1);
    auto* layout = new QVBoxLayout;
    layout->setContentsMargins(4, 2, 4, 4);
    layout->addLayout(buttons);
    layout->addLayout(result);

    connect(btnCopy, &QPushButton::clicked, this, &TExchangeTab::Copy);
    connect(btnSave, &QPushButton::clicked, this, &TExchangeTab::Save);
    connect(btnSearch, &QPushButton::clicked, this, &TExchangeTab::Search);
    connect(btnStopSearch, &QPushButton::clicked, this, &TExchangeTab::StopSearch);
    connect(btnApply, &QPushButton::clicked, this, &TExchangeTab::Apply);
    return layout;
}

void TExchangeTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    FitMeaningColumn(frameView);
}

void TExchangeTab::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (isVisible())
        FitMeaningColumn(frameView);
}

void TExchangeTab::RunStarted() {
    m_model->Clear();
    m_diagnosis.Reset();
    diagnosisText->clear();
    ShowAdvice({});
}

void TExchangeTab::RunEnded(const core::TRunResult& result) {
    m_model->Flush();
    // A gateway that took one request at a time is named even when every record came.
    if (!result.readFailed() && result.windowFallback == 0)
        return;
    QString text = m_diagnosis.Text(core::TAdviceFor::Window);
    if (text.isEmpty())
        text = QStringLiteral("Сбоев обмена в журнале не видно.");
    if (const QString failed = core::FailedRecordsText(result.failedRecords); !failed.isEmpty())
        text += QStringLiteral("\n") + failed + u'.';
    diagnosisText->setPlainText(text);
    ShowAdvice(m_diagnosis.Findings());
}

void TExchangeTab::ShowAdvice(const std::vector<core::TLineFinding>& findings) {
    qDeleteAll(adviceBox->findChildren<QWidget*>(Qt::FindDirectChildrenOnly));
    for (const core::TLineFinding& f : findings) {
        if (f.setting.kind == core::TLineSetting::None || f.setting.value <= 0)
            continue; // advice that names no value has nothing to apply
        auto* row = new QWidget(adviceBox);
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(4, 0, 4, 0);
        auto* button = new QPushButton(QStringLiteral("Применить"), row);
        button->setObjectName(QStringLiteral("btnApplyAdvice"));
        layout->addWidget(new QLabel(SettingText(f.setting), row));
        layout->addWidget(button);
        layout->addStretch(1);
        adviceBox->layout()->addWidget(row);
        connect(button, &QPushButton::clicked, this, [this, button, setting = f.setting] {
            if (m_hooks.applySetting)
                m_hooks.applySetting(setting);
            button->setEnabled(false);
        });
    }
    adviceBox->setVisible(!adviceButtons().isEmpty());
}

QList<QPushButton*> TExchangeTab::adviceButtons() const {
    return adviceBox->findChildren<QPushButton*>(QStringLiteral("btnApplyAdvice"));
}

QString TExchangeTab::ExchangeText() {
    m_model->Flush();
    QString text = m_model->Text();
    if (!diagnosisText->toPlainText().isEmpty())
        text += u'\n' + diagnosisText->toPlainText() + u'\n';
    return text;
}

void TExchangeTab::Copy() {
    QApplication::clipboard()->setText(ExchangeText());
}

void TExchangeTab::Save() {
    const QString proposed =
        QStringLiteral("обмен-%1.txt")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    const QString file = m_chooseFile(this, proposed);
    if (file.isEmpty())
        return;
    platform::TReplaceFile out(file);
    if (!out.open() || !out.write(ExchangeText().toUtf8()) || !out.commit())
        m_messages.error(QStringLiteral("Не удалось сохранить журнал обмена в %1: %2")
                             .arg(file, out.errorText()));
}

bool TExchangeTab::SearchProgress(const core::TSearchRequest& request, int done, int total) {
    QString position; // the label changes at most every kEventIntervalMs
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now - m_lastEvents >= kEventIntervalMs) {
        m_lastEvents = now;
        const core::TSearchPosition at = core::SearchPositionAt(request, done);
        position = QStringLiteral("Скорость %1, адрес %2 · осталось не больше %3")
                       .arg(at.speed)
                       .arg(at.address)
                       .arg(core::TRunProgress::Duration(at.left.count()));
    }
    QMetaObject::invokeMethod(
        this,
        [this, done, total, position] {
            if (!m_searching)
                return;
            searchProgress->setMaximum(std::max(total, 1));
            searchProgress->setValue(done);
            if (!position.isEmpty())
                lblSearchPosition->setText(position);
        },
        Qt::QueuedConnection);
    return m_stopRequested;
}

void TExchangeTab::Search() {
    if (m_searching || (m_hooks.busy && m_hooks.busy()))
        return;
    const std::optional<core::TSearchRequest> request = m_hooks.searchRequest();
    if (!request)
        return;
    m_searching = true;
    m_stopRequested = false;
    m_lastEvents = 0;
    btnSearch->setEnabled(false);
    btnApply->setEnabled(false);
    btnStopSearch->setEnabled(true);
    emit searchingChanged(true);
    // The reading's frames and diagnosis stay; the search's frames follow a separator.
    m_diagnosisGate.open = false;
    m_model->AddSeparator(QStringLiteral("Поиск прибора на COM%1").arg(request->port));
    lblSearch->clear();
    lblSearchPosition->setText(
        QStringLiteral("Поиск прибора (не дольше %1)...")
            .arg(core::TRunProgress::Duration(core::TInstrumentSearch::Bound(*request).count())));
    const auto [answerMs, retries] = m_hooks.readingTimes();
    auto result = std::make_shared<core::TSearchResult>();
    auto job = [this, request = *request, answerMs, retries, result] {
        *result = core::TInstrumentSearch(m_lib).Run(
            request, [&](int done, int total) { return SearchProgress(request, done, total); },
            answerMs, retries);
    };
    auto done = [this, result] { SearchEnded(std::move(*result)); };
    if (!m_hooks.runOffThread) {
        job();
        done();
    } else if (!m_hooks.runOffThread(job, done, [this] { StopSearch(); })) {
        done(); // an empty result: nothing found
    }
}

void TExchangeTab::SearchEnded(core::TSearchResult result) {
    m_lastSearch = std::move(result);
    m_model->Flush();
    m_diagnosisGate.open = true;
    ShowSearchResult();
    btnStopSearch->setEnabled(false);
    btnSearch->setEnabled(true);
    m_searching = false;
    emit searchingChanged(false);
}

void TExchangeTab::ShowSearchResult() {
    lblSearchPosition->clear();
    const bool found = !m_lastSearch.found.empty();
    lblSearch->setText(m_lastSearch.stopped ? QStringLiteral("Поиск остановлен")
                                            : m_lastSearch.Text());
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, found ? QColor(0, 110, 0) : QColor(170, 0, 0));
    lblSearch->setPalette(palette);
    btnApply->setEnabled(found);
}

void TExchangeTab::Apply() {
    if (m_lastSearch.found.empty())
        return;
    const core::TSearchHit& hit = m_lastSearch.found.front();
    m_hooks.apply(hit.address, hit.speed);
}

} // namespace gui
