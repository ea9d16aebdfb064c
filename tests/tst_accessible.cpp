// What a screen reader is told: every control's role, name and caption, as
// Qt's accessibility interface hands them to the platform. (The offscreen
// platform has no accessibility bridge, so change events cannot be seen
// here.)
#include "testsupport.h"

#include <QAccessible>

using namespace Qt::StringLiterals;
using namespace velmario;
using namespace velmario::testing;

Q_DECLARE_METATYPE(velmario::FormId)
Q_DECLARE_METATYPE(QAccessible::Role)

class TestAccessible : public QObject
{
    Q_OBJECT

    std::unique_ptr<Forms> forms;

    QAccessibleInterface* interfaceOf(FormId id, const QString& name)
    {
        QWidget* window = forms->form(id);
        QObject* target = name.isEmpty() ? window : window->findChild<QWidget*>(name);
        return target ? QAccessible::queryAccessibleInterface(target) : nullptr;
    }

private slots:
    void init() { forms = std::make_unique<Forms>(); }
    void cleanup() { forms.reset(); }

    void rolesAndNames_data()
    {
        QTest::addColumn<FormId>("id");
        QTest::addColumn<QString>("control"); // empty: the window itself
        QTest::addColumn<QAccessible::Role>("role");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("labelledBy"); // Qt's own: a group box labels what it holds
        const auto row = [](const char* tag, FormId id, const QString& control, QAccessible::Role role,
                            const QString& name, const QStringList& labelledBy = {}) {
            QTest::newRow(tag) << id << control << role << name << labelledBy;
        };
        row("welcome window", FormId::Velmario, {}, QAccessible::Window, u"Bienvenidos"_s);
        row("welcome emblem", FormId::Velmario, u"Image2"_s, QAccessible::Graphic, u"Emblema del Velmario"_s);
        row("welcome banner", FormId::Velmario, u"Image1"_s, QAccessible::Graphic, u"Directorio telefónico Velmario"_s);
        row("welcome title", FormId::Velmario, u"lblvosk"_s, QAccessible::StaticText, u"Velmario Telefónico"_s);
        row("Entrar", FormId::Velmario, u"cmdEntrar"_s, QAccessible::Button, u"Entrar"_s);
        row("Salir", FormId::Velmario, u"cmdSalir"_s, QAccessible::Button, u"Salir"_s);

        row("search window", FormId::BusquedaAl, {}, QAccessible::Window, u"Busqueda Via Internet."_s);
        row("name box", FormId::BusquedaAl, u"txtNombre"_s, QAccessible::EditableText, u"Nombre:"_s);
        row("number box", FormId::BusquedaAl, u"txtNumero"_s, QAccessible::EditableText, u"Número de control:"_s);
        row("address box", FormId::BusquedaAl, u"txtipservidor"_s, QAccessible::EditableText, u"Numero de IP:"_s);
        row("name caption", FormId::BusquedaAl, u"lblNombre"_s, QAccessible::StaticText, u"Nombre:"_s);
        row("address caption", FormId::BusquedaAl, u"Label1"_s, QAccessible::StaticText, u"Numero de IP:"_s);
        row("name result, empty", FormId::BusquedaAl, u"lblNombreA"_s, QAccessible::StaticText, QString(),
            (QStringList{u"fradatos"_s, u"lblNombrec"_s}));
        row("number result, empty", FormId::BusquedaAl, u"lblNumero"_s, QAccessible::StaticText, QString(),
            (QStringList{u"fradatos"_s, u"lblDir"_s}));
        row("telephone result, empty", FormId::BusquedaAl, u"lblTelefono"_s, QAccessible::StaticText, QString(),
            (QStringList{u"fradatos"_s, u"Label2"_s}));
        row("telephone caption", FormId::BusquedaAl, u"Label2"_s, QAccessible::StaticText, u"Teléfono:"_s,
            QStringList{u"fradatos"_s});
        row("results frame", FormId::BusquedaAl, u"fradatos"_s, QAccessible::Grouping, u"Datos Personales"_s);
        row("rule", FormId::BusquedaAl, u"Line1"_s, QAccessible::Separator, QString());
        row("status line", FormId::BusquedaAl, u"lblEstado"_s, QAccessible::StatusBar, u"Sin conexión."_s);
        row("Conectar", FormId::BusquedaAl, u"Command1"_s, QAccessible::Button, u"Conectar"_s);

        row("About window", FormId::Acercade, {}, QAccessible::Window, u"Acerca del Velmario"_s);
        row("Usage window", FormId::Uso, {}, QAccessible::Window, u"Uso del Velmario"_s);
        row("Usage picture box", FormId::Uso, u"Picture1"_s, QAccessible::Graphic, u"Emblema de aniversario"_s);
        row("Usage heading", FormId::Uso, u"lbl1"_s, QAccessible::StaticText, u"Pasos: "_s);
        row("Members window", FormId::Integ, {}, QAccessible::Window, u"Integrantes"_s);
        row("Members photograph", FormId::Integ, u"Image1"_s, QAccessible::Graphic,
            u"Foto de los integrantes del proyecto"_s);
        row("Members Aceptar", FormId::Integ, u"cmdAceptar"_s, QAccessible::Button, u"Aceptar"_s);
    }
    void rolesAndNames()
    {
        QFETCH(FormId, id);
        QFETCH(QString, control);
        QFETCH(QAccessible::Role, role);
        QFETCH(QString, name);
        QFETCH(QStringList, labelledBy);
        QAccessibleInterface* iface = interfaceOf(id, control);
        QVERIFY(iface);
        QCOMPARE(iface->role(), role);
        QCOMPARE(iface->text(QAccessible::Name), name);
        QStringList captions;
        for (const auto& [other, relation] : iface->relations(QAccessible::Label))
            captions << other->object()->objectName();
        QCOMPARE(captions, labelledBy);
    }

    // A result is named by its whole value, also where the label shows it
    // shortened, and said once: not again as a description.
    void resultLabelIsNamedByItsWholeText_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("value");
        QTest::newRow("name that fits") << u"lblNombreA"_s << u"José Peña Ibáñez"_s;
        QTest::newRow("telephone shown shortened") << u"lblTelefono"_s << u"+52 1 961 976 1527"_s;
    }
    void resultLabelIsNamedByItsWholeText()
    {
        QFETCH(QString, label);
        QFETCH(QString, value);
        auto* result = forms->form(FormId::BusquedaAl)->findChild<look::Label*>(label);
        QVERIFY(result);
        result->setCaption(value);
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(result);
        QCOMPARE(iface->text(QAccessible::Name), value);
        QCOMPARE(iface->text(QAccessible::Description), QString());
    }
};

VELMARIO_TEST_MAIN(TestAccessible)
#include "tst_accessible.moc"
