#pragma once

#include "common/navigation.h"
#include "lookupconnection.h"

#include <QMainWindow>
#include <QTimer>

class QAction;
class QGroupBox;
class QLineEdit;
class QMenu;

namespace velmario {
namespace look {
class Label;
class OrangeButton;
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
    void showStatus(const QString& text);
    // What the connection is doing, or why it is not connected.
    QString connectionStatus() const;
    void Winsock2_StateChanged(int state, lookup::LookupConnection::Cause cause);

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
    look::Label* lblNombreA = nullptr;
    look::Label* lblNumero = nullptr;
    look::Label* lblTelefono = nullptr;
    look::StatusLine* lblEstado = nullptr;
    lookup::LookupConnection* Winsock2 = nullptr;
    // Says a lookup is under way only if its reply is slow to come: a quick
    // answer is not preceded by a status line that only flickers.
    QTimer m_waitingStatus;
    QString m_waitingNumber;
};

} // namespace velmario
