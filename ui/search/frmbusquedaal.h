#pragma once

#include "common/navigation.h"
#include "lookupconnection.h"

#include <QMainWindow>
#include <QTimer>

#include <chrono>

class QAction;
class QGroupBox;
class QLineEdit;
class QMenu;

namespace velmario {
namespace look {
class Label;
class OrangeButton;
class ResultLabel;
class StatusLine;
} // namespace look

// The search window: connect to a lookup server, look a control number up,
// read the answer.
class frmBusquedaAl : public QMainWindow, public FormHandlers
{
    Q_OBJECT

public:
    explicit frmBusquedaAl(Navigation& navigation, QWidget* parent = nullptr);

    // The designed client area, below the menu bar, in twips.
    static constexpr QSize kClientTwips{5835, 4395};
    // Where the client area's top-left lies on the screen when first shown.
    static constexpr QPoint kClientOrigin{216, 161};

    lookup::LookupConnection* connection() const { return Winsock2; }
    QString status() const;

    void Form_Activate() override;
    void Form_Unload() override;
    void Command1_Click();
    void cmdBuscar_Click();
    void cmdVolver_Click();
    void cmdRegresar_Click();
    void Winsock2_DataArrival(qint64 bytesTotal);
    void mnuEditar_Salir_Click();
    void mnuAyuda_Acercade_Click();
    void mnuAyuda_Integrantes_Click();
    void mnuAyuda_Uso_Click();

private:
    void buildMenus();
    void buildControls(QWidget* client);
    // A status for the eye only: something is under way.
    void showStatus(const QString& text);
    // A status that tells how an action ended: screen readers say it too.
    void tellStatus(const QString& text);
    // What the connection is doing, or why it is not connected.
    QString connectionStatus() const;
    // What the reply just shown was, and which of its values the labels shorten.
    QString replyStatus(const lookup::Reply& reply) const;
    void Winsock2_StateChanged(int state, lookup::LookupConnection::Cause cause);
    void onLookupWaiting();
    void stopWaiting();

    Navigation& m_navigation;

    QMenu* mnuEditar = nullptr;
    QAction* mnuEditar_Salir = nullptr;
    QMenu* mnuAyuda = nullptr;
    QAction* mnuAyuda_Acercade = nullptr;
    QAction* mnuAyuda_Integrantes = nullptr;
    QAction* mnuAyuda_Uso = nullptr;

    QLineEdit* txtNombre = nullptr;
    QLineEdit* txtNumero = nullptr;
    QLineEdit* txtipservidor = nullptr;
    look::OrangeButton* cmdRegresar = nullptr;
    look::OrangeButton* cmdBuscar = nullptr;
    look::OrangeButton* Command1 = nullptr;
    look::OrangeButton* cmdVolver = nullptr;
    QGroupBox* fradatos = nullptr;
    look::ResultLabel* lblNombreA = nullptr;
    look::ResultLabel* lblNumero = nullptr;
    look::ResultLabel* lblTelefono = nullptr;
    look::StatusLine* lblEstado = nullptr;
    lookup::LookupConnection* Winsock2 = nullptr;
    // While a lookup waits for its reply: first says it is under way (only
    // if the reply is slow to come, so that a quick answer is not preceded
    // by a line that only flickers), then that no answer has come yet. The
    // timer is not stopped and restarted with every lookup (that costs more
    // than the rest of a quick answer's handling): when it fires it looks at
    // the lookup waiting then, if any, and waits on for what is left.
    enum class Waiting { None, LookingUp, Overdue };
    QTimer m_waiting;
    Waiting m_waitingFor = Waiting::None;
    std::chrono::steady_clock::time_point m_waitingSince;
    QString m_waitingNumber;
};

} // namespace velmario
