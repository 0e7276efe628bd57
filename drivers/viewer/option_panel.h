// The controls of every option the tables hold, made from the rows: a
// choice is a combo box (editable where the option takes words of its own
// form), a number a spin box, a flag a check box, a few numbers a line of
// text in the console's syntax. A row added to a table is a control here.
#pragma once

#include <QWidget>

#include <functional>
#include <vector>

#include "engine/lic.h"
#include "render/render.h"

class QFormLayout;

namespace fastlic::viewer {

class OptionPanel : public QWidget {
    Q_OBJECT
public:
    explicit OptionPanel(QWidget* parent = nullptr);

    const LicParams& params() const { return params_; }
    const RenderOptions& image() const { return image_; }

    // The control of the option --name (its object name is name).
    QWidget* control(const QString& name) const;

signals:
    // The settings changed and hold together.
    void changed();
    // A value the option refuses, or options that do not go together, in
    // the console's words; "" once every value is good again.
    void invalid(const QString& message);

private:
    template <class T>
    void addTable(QFormLayout* form, const options::Table<T>& table, T& target);
    void check();

    LicParams params_;
    RenderOptions image_;
    // Each control's message, "" when its value is taken.
    std::vector<std::pair<QWidget*, QString>> refused_;
};

}  // namespace fastlic::viewer
