#include "directory.h"

namespace velmario::server {

// Fictitious people: any likeness to real ones is chance.
const std::vector<Entry>& sampleEntries()
{
    static const std::vector<Entry> entries = {
        {"20230001", "José Peña Ibáñez", "961-976-1527"},
        {"20230002", "María Muñoz López", "961-919-3851"},
        {"20230003", "Ángel Núñez Ruiz", "961-418-3905"},
        {"20230004", "Lucía Ibáñez Suárez", "961-330-9531"},
        {"20230005", "Iñaki Castañeda Benítez", "961-158-4216"},
        {"20230006", "Begoña Gómez Núñez", "961-671-1875"},
        {"20230007", "Pilar Martínez Rodríguez", "961-557-5642"},
        {"20230008", "Raúl Sánchez Jiménez", "961-849-1535"},
        {"20230009", "Sofía Pérez Torres", "961-134-8148"},
        {"20230010", "Andrés Rodríguez Cañas", "961-951-4088"},
        {"20230011", "Inés López Muñoz", "961-347-2161"},
        {"20230012", "Óscar Hernández Pérez", "961-223-1950"},
        {"20230013", "Marta García Álvarez", "961-382-7979"},
        {"20230014", "Jesús Fernández Ramírez", "961-401-5748"},
        {"20230015", "Paula Díaz Ordóñez", "961-333-1437"},
        {"20230016", "Héctor Álvarez Peña", "961-440-6301"},
        {"20230017", "Noemí Jiménez Sánchez", "961-193-4982"},
        {"20230018", "Martín Ruiz Díaz", "961-111-1805"},
        {"20230019", "Elena Ortiz Vázquez", "961-705-8266"},
        {"20230020", "Tomás Gutiérrez Morán", "961-224-8477"},
        {"20230021", "Verónica Domínguez Rentería", "961-502-5649"},
        {"20230022", "Rubén Vázquez Martínez", "961-879-7931"},
        {"20230023", "Carmen Ramírez Fernández", "961-373-1529"},
        {"20230024", "Joaquín Torres Domínguez", "961-485-5434"},
        {"20230025", "Ximena Suárez Navarro", "961-991-7759"},
        {"20230026", "Adrián Méndez Villaseñor", "961-288-4302"},
        {"20230027", "Leticia Cortés Gómez", "961-119-9462"},
        {"20230028", "Ramón Navarro García", "961-607-8455"},
        {"20230029", "Yolanda Morán Gutiérrez", "961-722-4033"},
        {"20230030", "Germán Ordóñez Cortés", "961-902-8874"},
        {"20230031", "Alba Cañas Zúñiga", "961-301-2880"},
        {"20230032", "Iván Benítez Castañeda", "961-342-2150"},
        {"20230033", "Rocío Mejía Hernández", "961-472-6222"},
        {"20230034", "Emilio Zúñiga Ortiz", "961-483-1119"},
        {"20230035", "Nuria Villaseñor Méndez", "961-277-9528"},
        {"20230036", "Julián Rentería Mejía", "961-247-5105"},
    };
    return entries;
}

} // namespace velmario::server
