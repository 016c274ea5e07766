#include "command_line.h"

#include "config/version.h"

#include <QCommandLineParser>

#include <cstdio>
#include <string_view>

namespace zelmar {

QString windowProgramHelp() {
    return QStringLiteral(
        "Использование: zelmar [ПАРАМЕТРЫ]\n"
        "\n"
        "Zelmar CNC: разбор растрового изображения на светлые и тёмные области и их фрезеровка по контурам\n"
        "на трёхосевом станке с ЧПУ, плата которого подключена к последовательному порту.\n"
        "\n"
        "Настройки (Port, Image, Timeout) берутся из cnc.ini: сначала в папке программы, затем в папке\n"
        "настроек пользователя ($XDG_CONFIG_HOME/zelmar, обычно ~/.config/zelmar). Если файла нет ни там,\n"
        "ни там, он создаётся в папке пользователя из примера, поставляемого с программой.\n"
        "\n"
        "Параметры:\n"
        "  -h, --help     показать эту справку и выйти\n"
        "  -v, --version  показать версию программы и выйти\n"
        "Принимаются и стандартные параметры Qt, например -platform offscreen или -style Fusion.\n"
        "\n"
        "Руководство: /usr/share/doc/zelmar/guide.md, man zelmar.\n");
}

std::optional<int> answerInfoOptions(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "-h" || a == "--help") {
            std::fputs(windowProgramHelp().toUtf8().constData(), stdout);
            return 0;
        }
        if (a == "-v" || a == "--version") {
            std::printf("zelmar %s\n", versionText);
            return 0;
        }
    }
    return std::nullopt;
}

std::optional<int> refuseLeftoverArguments(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.addOptions({{{QStringLiteral("h"), QStringLiteral("help")}, QString()},
                       {{QStringLiteral("v"), QStringLiteral("version")}, QString()}});
    QString wrong;
    if (!parser.parse(arguments)) {
        const QString name = parser.unknownOptionNames().value(0);
        wrong = (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    } else if (!parser.positionalArguments().isEmpty())
        wrong = parser.positionalArguments().constFirst();
    else if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("version"))) {
        // Only a compacted form such as -hv gets this far.
        std::fputs(parser.isSet(QStringLiteral("help"))
                       ? windowProgramHelp().toUtf8().constData()
                       : (QStringLiteral("zelmar ") + versionText + '\n').toUtf8().constData(),
                   stdout);
        return 0;
    } else
        return std::nullopt;
    const QString message =
        QStringLiteral("zelmar: непонятный параметр «%1»\nСправка: zelmar --help\n").arg(wrong);
    std::fputs(message.toUtf8().constData(), stderr);
    return 2;
}

} // namespace zelmar
