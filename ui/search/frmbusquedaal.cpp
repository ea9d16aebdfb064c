#include "frmbusquedaal.h"

#include "common/label.h"
#include "common/line.h"
#include "common/look.h"
#include "common/orangebutton.h"
#include "common/resultlabel.h"
#include "common/statusline.h"
#include "common/textbox.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QMenuBar>

using namespace Qt::StringLiterals;

namespace velmario {

using namespace look;
using lookup::LookupConnection;

namespace {

// The one-line status area sits below the designed client area, so that no
// designed control moves for it.
constexpr int kStatusHeight = 18;

// A caption label at a fixed top-left that takes its caption's size.
Label* captionAt(const QString& name, const QString& text, int left, int top, QWidget* parent)
{
    return captionLabel(name, text, twipsRect(left, top, 0, 0), Label::Sizing::AutoSize, parent);
}

} // namespace

frmBusquedaAl::frmBusquedaAl(Navigation& navigation, QWidget* parent)
    : QMainWindow(parent)
    , m_navigation(navigation)
{
    setObjectName(u"frmBusquedaAl"_s);
    setWindowTitle(u"Busqueda Via Internet."_s);

    Winsock2 = new LookupConnection(this);
    Winsock2->setObjectName(u"Winsock2"_s);
    connect(Winsock2, &LookupConnection::DataArrival, this, &frmBusquedaAl::Winsock2_DataArrival);
    connect(Winsock2, &LookupConnection::stateChanged, this, &frmBusquedaAl::Winsock2_StateChanged);

    m_waiting.setSingleShot(true);
    connect(&m_waiting, &QTimer::timeout, this, &frmBusquedaAl::onLookupWaiting);

    buildMenus();
    auto* client = new QWidget(this);
    client->setObjectName(u"client"_s);
    setupWindow(client, kClientTwips.width(), kClientTwips.height());
    buildControls(client);
    setCentralWidget(client);

    // The menu bar's height depends on its font; the client area below it
    // keeps its designed size and place.
    menuBar()->ensurePolished();
    const int menuHeight = menuBar()->heightForWidth(client->width());
    const QSize size(client->width(), menuHeight + client->height() + kStatusHeight);
    setGeometry(QRect(kClientOrigin - QPoint(0, menuHeight), size));
}

void frmBusquedaAl::buildMenus()
{
    QMenuBar* bar = menuBar();
    bar->setObjectName(u"menuBar"_s);
    mnuEditar = bar->addMenu(u"&Edicion"_s);
    mnuEditar->setObjectName(u"mnuEditar"_s);
    mnuEditar_Salir = mnuEditar->addAction(u"Salir"_s, this, &frmBusquedaAl::mnuEditar_Salir_Click);
    mnuEditar_Salir->setObjectName(u"mnuEditar_Salir"_s);

    mnuAyuda = bar->addMenu(u"&Ayuda"_s);
    mnuAyuda->setObjectName(u"mnuAyuda"_s);
    mnuAyuda_Acercade = mnuAyuda->addAction(u"Acerca del Velmario..."_s, this, &frmBusquedaAl::mnuAyuda_Acercade_Click);
    mnuAyuda_Acercade->setObjectName(u"mnuAyuda_Acercade"_s);
    mnuAyuda_Integrantes = mnuAyuda->addAction(u"Integrantes"_s, this, &frmBusquedaAl::mnuAyuda_Integrantes_Click);
    mnuAyuda_Integrantes->setObjectName(u"mnuAyuda_Integrantes"_s);
    mnuAyuda_Uso = mnuAyuda->addAction(u"Uso del Velmario..."_s, this, &frmBusquedaAl::mnuAyuda_Uso_Click);
    mnuAyuda_Uso->setObjectName(u"mnuAyuda_Uso"_s);
}

void frmBusquedaAl::buildControls(QWidget* client)
{
    Label* lblNombre = captionAt(u"lblNombre"_s, u"Nombre:"_s, 240, 240, client);
    txtNombre = textBox(u"txtNombre"_s, twipsRect(1200, 240, 3375, 255), msSansSerif(), client);
    cmdRegresar = new OrangeButton(u"cmdRegresar"_s, u"&Regresar"_s, twipsRect(4680, 240, 975, 375), client);
    Label* Label4 = captionAt(u"Label4"_s, u"Número de control:"_s, 240, 600, client);
    txtNumero = textBox(u"txtNumero"_s, twipsRect(2160, 600, 1455, 285), msSansSerif(), client);
    cmdBuscar = new OrangeButton(u"cmdBuscar"_s, u"&Buscar"_s, twipsRect(4680, 720, 975, 375), client);
    Label* Label1 = captionAt(u"Label1"_s, u"Numero de IP:"_s, 240, 960, client);
    txtipservidor = textBox(u"txtipservidor"_s, twipsRect(240, 1320, 2055, 315), arial(kSmallPx), client);
    Command1 = new OrangeButton(u"Command1"_s, u"&Conectar"_s, twipsRect(2400, 1200, 1215, 495), client);
    cmdVolver = new OrangeButton(u"cmdVolver"_s, u"&Volver a buscar"_s, twipsRect(4080, 1200, 1575, 375), client);

    line(u"Line1"_s, 5640, 2040, 120, 2040, kOrange, client);

    fradatos = new QGroupBox(u"Datos Personales"_s, client);
    fradatos->setObjectName(u"fradatos"_s);
    fradatos->setGeometry(twipsRect(240, 2280, 5295, 1815));
    fradatos->setFont(arial(kCaptionPx));
    fradatos->setFocusPolicy(Qt::NoFocus);
    setPaletteColors(fradatos, {{QPalette::WindowText, kOrange}, {QPalette::Window, kBlack}});

    Label* lblNombrec = captionAt(u"lblNombrec"_s, u"Nombre:"_s, 240, 480, fradatos);
    lblNombreA = new ResultLabel(u"lblNombreA"_s, twipsRect(1200, 480, 3735, 255), fradatos);
    Label* lblDir = captionAt(u"lblDir"_s, u"Número de Control:"_s, 240, 840, fradatos);
    lblNumero = new ResultLabel(u"lblNumero"_s, twipsRect(2280, 840, 1335, 255), fradatos);
    Label* Label2 = captionAt(u"Label2"_s, u"Teléfono:"_s, 240, 1200, fradatos);
    lblTelefono = new ResultLabel(u"lblTelefono"_s, twipsRect(1320, 1200, 1335, 255), fradatos);

    lblEstado = new StatusLine(u"lblEstado"_s, u"Sin conexión."_s,
                               QRect(8, client->height(), client->width() - 16, kStatusHeight - 2), client);

    // What a screen reader names the boxes by, and labels the results with.
    lblNombre->setBuddy(txtNombre);
    Label4->setBuddy(txtNumero);
    Label1->setBuddy(txtipservidor);
    lblNombrec->setBuddy(lblNombreA);
    lblDir->setBuddy(lblNumero);
    Label2->setBuddy(lblTelefono);

    connect(cmdRegresar, &QPushButton::clicked, this, &frmBusquedaAl::cmdRegresar_Click);
    connect(cmdBuscar, &QPushButton::clicked, this, &frmBusquedaAl::cmdBuscar_Click);
    connect(Command1, &QPushButton::clicked, this, &frmBusquedaAl::Command1_Click);
    connect(cmdVolver, &QPushButton::clicked, this, &frmBusquedaAl::cmdVolver_Click);

    QWidget::setTabOrder(txtNombre, cmdRegresar);
    QWidget::setTabOrder(cmdRegresar, cmdBuscar);
    QWidget::setTabOrder(cmdBuscar, cmdVolver);
    QWidget::setTabOrder(cmdVolver, txtNumero);
    QWidget::setTabOrder(txtNumero, txtipservidor);
    QWidget::setTabOrder(txtipservidor, Command1);
    // The results come after the designed stops, so that they can be read
    // and copied from the keyboard.
    QWidget::setTabOrder(Command1, lblNombreA);
    QWidget::setTabOrder(lblNombreA, lblNumero);
    QWidget::setTabOrder(lblNumero, lblTelefono);
}

QString frmBusquedaAl::status() const
{
    return lblEstado->caption();
}

void frmBusquedaAl::showStatus(const QString& text)
{
    lblEstado->setStatus(text, false);
}

void frmBusquedaAl::tellStatus(const QString& text)
{
    lblEstado->setStatus(text, true);
}

// --- Handlers ---------------------------------------------------------------

void frmBusquedaAl::Form_Activate()
{
    txtNombre->setText(QString());
    txtNumero->setText(QString());
    txtNombre->setFocus();
}

void frmBusquedaAl::Form_Unload()
{
    Winsock2->Close();
}

void frmBusquedaAl::Command1_Click()
{
    if (Winsock2->State() != LookupConnection::Closed)
        Winsock2->Close();
    Winsock2->setRemoteHost(txtipservidor->text());
    Winsock2->setRemotePort(lookup::kLookupPort);
    Winsock2->Connect();
}

void frmBusquedaAl::cmdBuscar_Click()
{
    const QString number = txtNumero->text();
    stopWaiting();
    switch (Winsock2->SendData(number)) {
    case LookupConnection::SendResult::Sent:
        m_waitingNumber = number;
        m_waitingFor = Waiting::LookingUp;
        m_waitingSince = std::chrono::steady_clock::now();
        if (!m_waiting.isActive())
            m_waiting.start(Winsock2->timing().lookingUp);
        break;
    case LookupConnection::SendResult::Empty:
        tellStatus(u"Escriba un número de control: no se envió nada."_s);
        break;
    case LookupConnection::SendResult::StillConnecting:
        tellStatus(u"Todavía se está estableciendo la conexión con %1: no se envió nada."_s
                       .arg(Winsock2->RemoteHost()));
        break;
    case LookupConnection::SendResult::NotConnected:
        tellStatus(u"No hay conexión con el servidor: pulse Conectar. No se envió nada."_s);
        break;
    case LookupConnection::SendResult::Unencodable:
        tellStatus(u"El número tiene caracteres que no se pueden enviar: no se envió nada."_s);
        break;
    case LookupConnection::SendResult::Failed:
        tellStatus(u"No se pudo enviar la consulta."_s);
        break;
    }
}

void frmBusquedaAl::onLookupWaiting()
{
    if (m_waitingFor == Waiting::None)
        return; // its lookup was answered
    const lookup::Timing& timing = Winsock2->timing();
    const auto due = m_waitingSince + (m_waitingFor == Waiting::LookingUp ? timing.lookingUp : timing.replyOverdue);
    const auto now = std::chrono::steady_clock::now();
    if (now < due) {
        // A later lookup than the one the timer was started for.
        m_waiting.start(std::chrono::ceil<std::chrono::milliseconds>(due - now));
        return;
    }
    if (m_waitingFor == Waiting::LookingUp) {
        showStatus(u"Consultando el número %1..."_s.arg(m_waitingNumber));
        m_waitingFor = Waiting::Overdue;
        m_waiting.start(std::chrono::ceil<std::chrono::milliseconds>(m_waitingSince + timing.replyOverdue - now));
        return;
    }
    tellStatus(u"El servidor aún no responde al número %1: se mostrará si llega."_s.arg(m_waitingNumber));
    m_waitingFor = Waiting::None;
}

void frmBusquedaAl::stopWaiting()
{
    m_waitingFor = Waiting::None;
}

void frmBusquedaAl::Winsock2_DataArrival(qint64 /*bytesTotal*/)
{
    stopWaiting();
    const lookup::Reply reply = Winsock2->GetData();
    if (reply.hasSeparator) {
        lblNombreA->setCaption(reply.name);
        lblTelefono->setCaption(reply.telephone);
    } else {
        // Without a "*" there is no telephone: the whole reply is the name.
        lblNombreA->setCaption(reply.text);
        lblTelefono->setCaption(QString());
    }
    lblNumero->setCaption(txtNumero->text());
    tellStatus(replyStatus(reply));
}

QString frmBusquedaAl::replyStatus(const lookup::Reply& reply) const
{
    if (reply.truncated)
        return u"Respuesta demasiado larga: se muestran sus primeros %1 caracteres."_s.arg(lookup::kMaxReplyLength);
    QStringList shortened;
    if (lblNombreA->isShortened())
        shortened << u"nombre"_s;
    if (lblNumero->isShortened())
        shortened << u"número"_s;
    if (lblTelefono->isShortened())
        shortened << u"teléfono"_s;
    if (!reply.hasSeparator) {
        if (!shortened.isEmpty())
            return u"Respuesta sin \"*\", recortada como nombre: pase el puntero encima."_s;
        return u"Respuesta sin \"*\": se muestra entera como nombre."_s;
    }
    if (reply.name.isEmpty() && reply.telephone.isEmpty())
        return u"Respuesta vacía: el servidor no envió nombre ni teléfono."_s;
    if (shortened.isEmpty())
        return u"Respuesta recibida."_s;
    if (shortened.size() == 1)
        return u"Respuesta recibida; recortado: %1. Pase el puntero encima."_s.arg(shortened.first());
    const QString last = shortened.takeLast();
    return u"Respuesta recibida; recortados: %1 y %2. Pase el puntero encima."_s.arg(shortened.join(u", "_s), last);
}

void frmBusquedaAl::cmdVolver_Click()
{
    txtNombre->setText(QString());
    txtNumero->setText(QString());
    lblNombreA->setCaption(QString());
    lblNumero->setCaption(QString());
    lblTelefono->setCaption(QString());
    // With every result gone, the line speaks of the connection again.
    stopWaiting();
    showStatus(connectionStatus());
}

void frmBusquedaAl::cmdRegresar_Click()
{
    m_navigation.Hide(FormId::BusquedaAl);
    m_navigation.Show(FormId::Velmario);
}

void frmBusquedaAl::mnuEditar_Salir_Click()
{
    m_navigation.End();
}

void frmBusquedaAl::mnuAyuda_Acercade_Click()
{
    m_navigation.Show(FormId::Acercade);
    m_navigation.Hide(FormId::BusquedaAl);
}

void frmBusquedaAl::mnuAyuda_Integrantes_Click()
{
    m_navigation.Show(FormId::Integ);
    m_navigation.Hide(FormId::BusquedaAl);
}

void frmBusquedaAl::mnuAyuda_Uso_Click()
{
    m_navigation.Show(FormId::Uso);
    m_navigation.Hide(FormId::BusquedaAl);
}

void frmBusquedaAl::Winsock2_StateChanged(int /*state*/, LookupConnection::Cause /*cause*/)
{
    // Whatever the change, a lookup under way has its answer or never will:
    // the line tells the connection's state, and no late "Consultando..."
    // replaces it.
    stopWaiting();
    // Resolving and connecting are under way; every other state ends them.
    const int state = Winsock2->State();
    if (state == LookupConnection::ResolvingHost || state == LookupConnection::Connecting)
        showStatus(connectionStatus());
    else
        tellStatus(connectionStatus());
}

QString frmBusquedaAl::connectionStatus() const
{
    // Closing by itself or closed with that cause: the same words either way.
    const auto closedByServer = [] {
        return u"El servidor cerró la conexión: pulse Conectar para volver a conectar."_s;
    };
    const QString host = Winsock2->RemoteHost();
    // A name may have several addresses: say how many were tried.
    const auto tried = [this](QString text) {
        if (Winsock2->hostIsName()) {
            const qsizetype count = Winsock2->triedAddresses().size();
            text += count == 1 ? u" (1 dirección probada)"_s : u" (%1 direcciones probadas)"_s.arg(count);
        }
        return text + u'.';
    };
    using Cause = LookupConnection::Cause;
    switch (Winsock2->State()) {
    case LookupConnection::Closed:
        return u"Sin conexión."_s;
    case LookupConnection::ResolvingHost:
        return u"Buscando la dirección de %1..."_s.arg(host);
    case LookupConnection::Connecting:
        return u"Conectando con %1..."_s.arg(host);
    case LookupConnection::Connected:
        return u"Conectado con %1."_s.arg(host);
    case LookupConnection::Closing:
        return closedByServer();
    default:
        break;
    }
    switch (Winsock2->cause()) {
    case Cause::HostNotFound:
        if (host.trimmed().isEmpty())
            return u"Escriba la dirección del servidor y pulse Conectar."_s;
        return u"No se pudo resolver el nombre %1."_s.arg(host);
    case Cause::HostLookupTimedOut:
        return u"No se pudo resolver el nombre %1: el servidor de nombres no respondió a tiempo."_s.arg(host);
    case Cause::NameServerNoAnswer:
        return u"No se pudo resolver %1 por ahora: el servidor de nombres no dio respuesta."_s.arg(host);
    case Cause::Refused:
        return tried(u"El servidor %1 rechazó la conexión"_s.arg(host));
    case Cause::Unreachable:
        return tried(u"No hay ruta de red hasta %1"_s.arg(host));
    case Cause::TimedOut:
        return tried(u"El servidor %1 no respondió a tiempo"_s.arg(host));
    case Cause::ClosedByServer:
        return closedByServer();
    case Cause::NetworkError:
    case Cause::None:
        break;
    }
    if (Winsock2->hostIsName() && !Winsock2->triedAddresses().isEmpty())
        return tried(u"Error de red con %1: %2"_s.arg(host, Winsock2->causeText()));
    return u"Error de red con %1: %2"_s.arg(host, Winsock2->causeText());
}

} // namespace velmario
