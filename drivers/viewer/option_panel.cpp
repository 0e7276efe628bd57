#include "drivers/viewer/option_panel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QVBoxLayout>

#include <climits>
#include <cmath>

#include "drivers/viewer/command_line.h"

namespace fastlic::viewer {

namespace {

// Real numbers written and read as the console writes and reads them.
class RealSpinBox : public QDoubleSpinBox {
public:
    using QDoubleSpinBox::QDoubleSpinBox;

    QString textFromValue(double value) const override {
        return QString::fromStdString(options::formatReal(value));
    }
    double valueFromText(const QString& text) const override {
        double v = 0.0;
        options::parseReal(text.trimmed().toStdString(), v);
        return v;
    }
    QValidator::State validate(QString& text, int&) const override {
        double v = 0.0;
        const std::string t = text.trimmed().toStdString();
        if (options::parseReal(t, v) == options::Syntax::ok)
            return v >= minimum() && v <= maximum() ? QValidator::Acceptable : QValidator::Intermediate;
        return QValidator::Intermediate;
    }
};

// A step of about a tenth of the default's size.
double stepFor(double value) {
    if (!(std::abs(value) > 0.0)) return 0.1;
    return std::pow(10.0, std::floor(std::log10(std::abs(value))));
}

QString tip(const std::string& help, const std::vector<options::Word>& words) {
    QString text = QString::fromStdString(help);
    for (const options::Word& w : words)
        if (!w.help.empty()) text += QString::fromStdString("\n" + w.name + ": " + w.help);
    return text;
}

}  // namespace

OptionPanel::OptionPanel(QWidget* parent) : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    const auto group = [&](const char* title) {
        auto* box = new QGroupBox(tr(title), this);
        auto* form = new QFormLayout(box);
        form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
        column->addWidget(box);
        return form;
    };
    QFormLayout* method = group("Method");
    for (const options::Table<LicParams>* table : methodTables()) addTable(method, *table, params_);
    QFormLayout* look = group("Image");
    for (const options::Table<RenderOptions>* table : imageTables()) addTable(look, *table, image_);
    column->addStretch();
}

QWidget* OptionPanel::control(const QString& name) const { return findChild<QWidget*>(name); }

template <class T>
void OptionPanel::addTable(QFormLayout* form, const options::Table<T>& table, T& target) {
    for (const options::Option<T>& row : table.rows) {
        const options::Value now = row.get(target);
        // A number that only sets others (length: L and M) has no value of
        // its own to show; their controls set them.
        if (std::holds_alternative<std::monostate>(now) &&
            (row.kind == options::Kind::integer || row.kind == options::Kind::real))
            continue;
        const QString shown = QString::fromStdString(options::show(now, row.separators));
        // Stores text as the console reads it; "" or the console's message.
        const auto apply = [this, &table, &row, &target](QWidget* w, const QString& text) {
            T next = target;
            std::string bad;
            if (text.isEmpty() && row.kind == options::Kind::numbers && row.assign(options::Value{}, next))
                bad = "";
            else
                bad = options::applyText(table, row, text.toStdString(), next);
            if (bad.empty()) target = next;
            for (auto& [control, message] : refused_)
                if (control == w) message = QString::fromStdString(bad);
            w->setStyleSheet(bad.empty() ? QString() : QStringLiteral("background: #f4c7c3"));
            check();
        };
        QWidget* w = nullptr;
        switch (row.kind) {
        case options::Kind::flag: {
            auto* box = new QCheckBox(this);
            box->setChecked(std::get<bool>(now));
            connect(box, &QCheckBox::toggled, this, [this, box, &row, &target](bool on) {
                row.assign(options::Value(on), target);
                (void)box;
                check();
            });
            w = box;
            break;
        }
        case options::Kind::integer: {
            auto* box = new QSpinBox(this);
            const options::Bounds b = row.bounds;
            box->setRange(static_cast<int>(std::max<double>(b.lo + (b.loOpen ? 1 : 0), INT_MIN)),
                          static_cast<int>(std::min<double>(b.hi - (b.hiOpen ? 1 : 0), INT_MAX)));
            box->setValue(static_cast<int>(std::get<std::int64_t>(now)));
            box->setKeyboardTracking(false);
            connect(box, &QSpinBox::valueChanged, this, [apply, box](int v) { apply(box, QString::number(v)); });
            w = box;
            break;
        }
        case options::Kind::real: {
            auto* box = new RealSpinBox(this);
            const options::Bounds b = row.bounds;
            box->setDecimals(15);
            box->setRange(std::isfinite(b.lo) ? b.lo + (b.loOpen ? 1e-15 : 0.0) : -1e300,
                          std::isfinite(b.hi) ? b.hi - (b.hiOpen ? 1e-15 : 0.0) : 1e300);
            box->setValue(std::get<double>(now));
            box->setSingleStep(stepFor(std::get<double>(now)));
            box->setKeyboardTracking(false);
            connect(box, &QDoubleSpinBox::valueChanged, this, [apply, box](double v) {
                apply(box, QString::fromStdString(options::formatReal(v)));
            });
            w = box;
            break;
        }
        case options::Kind::choice:
        case options::Kind::text: {
            if (row.choices.empty()) {
                auto* line = new QLineEdit(shown, this);
                connect(line, &QLineEdit::editingFinished, this, [apply, line] { apply(line, line->text()); });
                w = line;
                break;
            }
            auto* box = new QComboBox(this);
            for (const options::Word& word : row.choices) box->addItem(QString::fromStdString(word.name));
            // Words of the option's own form, typed: NAME_r, rows=B,cols=B.
            box->setEditable(row.kind == options::Kind::text);
            box->setCurrentText(shown);
            if (box->isEditable())
                connect(box, &QComboBox::currentTextChanged, this, [apply, box](const QString& t) { apply(box, t); });
            else
                connect(box, &QComboBox::currentIndexChanged, this, [apply, box] { apply(box, box->currentText()); });
            w = box;
            break;
        }
        case options::Kind::numbers: {
            auto* line = new QLineEdit(shown, this);
            line->setPlaceholderText(QString::fromStdString(row.phrase));
            connect(line, &QLineEdit::editingFinished, this, [apply, line] { apply(line, line->text()); });
            w = line;
            break;
        }
        }
        w->setObjectName(QString::fromStdString(row.name));
        w->setToolTip(tip(row.help, row.choices));
        refused_.emplace_back(w, QString());
        form->addRow(QString::fromStdString(row.name), w);
    }
}

namespace {

// The first rule of tables that target breaks, in the console's words.
template <class T>
std::string brokenRule(const std::vector<const options::Table<T>*>& tables, const T& target) {
    for (const options::Table<T>* table : tables) {
        std::string broken = options::checkRules(*table, target, [&](const std::string& name) {
            for (const auto& row : table->rows)
                if (row.name == name) return options::show(row.get(target), row.separators);
            return std::string();
        });
        if (!broken.empty()) return broken;
    }
    return "";
}

}  // namespace

void OptionPanel::check() {
    for (const auto& [control, message] : refused_)
        if (!message.isEmpty()) return emit invalid(message);
    std::string broken = brokenRule(methodTables(), params_);
    if (broken.empty()) broken = brokenRule(imageTables(), image_);
    if (!broken.empty()) return emit invalid(QString::fromStdString(broken));
    if (image_.colorBy == ColorBy::scalar)
        return emit invalid(tr("--color-by: a scalar file is for the console; here magnitude, vorticity or none"));
    try {
        params_.validate();
    } catch (const ParamError& e) {
        return emit invalid(QString::fromStdString("--" + e.option() + ": " + e.problem()));
    }
    emit invalid(QString());
    emit changed();
}

}  // namespace fastlic::viewer
