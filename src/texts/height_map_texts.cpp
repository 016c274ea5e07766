#include "height_map_texts.h"

#include <algorithm>
#include <cstdio>

namespace zelmar {

namespace {

std::string mm(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return std::string(text) == "-0.000" ? "0.000" : text;
}

} // namespace

std::string heightMapProblemLine(const HeightMapProblem& p) {
    using Kind = HeightMapProblem::Kind;
    std::string why;
    switch (p.kind) {
    case Kind::None:
        return "";
    case Kind::NotANumber:
        why = "\"" + p.word + "\" is not a number";
        break;
    case Kind::TwoNumbers:
        why = p.word + " takes two numbers";
        break;
    case Kind::BadGrid:
        why = "the grid is two whole numbers of points, 2 or more each";
        break;
    case Kind::BadStep:
        why = "the step is above 0 along both axes";
        break;
    case Kind::HeightsTooEarly:
        why = "heights come after grid, origin and step";
        break;
    case Kind::RowLength:
        why = "a row holds " + std::to_string(p.expected) + " heights, " + std::to_string(p.given) + " given";
        break;
    case Kind::HeaderMissing:
        why = "grid, origin and step are missing";
        break;
    case Kind::RowCount:
        why = std::to_string(p.expected) + " rows of heights are needed, " + std::to_string(p.given) + " given";
        break;
    }
    return p.line > 0 ? "line " + std::to_string(p.line) + ": " + why : why;
}

std::string heightMapProblemText(const HeightMapProblem& p) {
    using Kind = HeightMapProblem::Kind;
    std::string why;
    switch (p.kind) {
    case Kind::None:
        return "";
    case Kind::NotANumber:
        why = "«" + p.word + "» — не число";
        break;
    case Kind::TwoNumbers:
        why = "после «" + p.word + "» нужны два числа";
        break;
    case Kind::BadGrid:
        why = "сетка — два целых числа точек, не меньше 2 каждое";
        break;
    case Kind::BadStep:
        why = "шаг по обеим осям должен быть больше 0";
        break;
    case Kind::HeightsTooEarly:
        why = "высоты идут после строк grid, origin и step";
        break;
    case Kind::RowLength:
        why = "в строке должно быть высот: " + std::to_string(p.expected) + ", а их " + std::to_string(p.given);
        break;
    case Kind::HeaderMissing:
        why = "нет строк grid, origin и step";
        break;
    case Kind::RowCount:
        why = "строк высот должно быть " + std::to_string(p.expected) + ", а их " + std::to_string(p.given);
        break;
    }
    return p.line > 0 ? "строка " + std::to_string(p.line) + ": " + why : why;
}

std::string heightMapText(const HeightMap& map, const std::string& name) {
    const auto [low, high] = std::minmax_element(map.z.begin(), map.z.end());
    return "Карта высот " + name + ": " + std::to_string(map.nx) + " × " + std::to_string(map.ny) +
           " точек, первая в X " + mm(map.originX) + ", Y " + mm(map.originY) + " мм, шаг " + mm(map.stepX) + " × " +
           mm(map.stepY) + " мм; высоты от " + mm(*low) + " до " + mm(*high) +
           " мм.\r\nФайл G-кода («Сохранить G-код…») следует ей: его начало — ноль заготовки, каждое перемещение "
           "поднято или опущено на высоту карты в своей точке. Задание на grbl тоже следует ей; на нашей плате "
           "задание с картой не начинается.";
}

std::string probePointText(int count, int of) {
    return "Точка " + std::to_string(std::min(count + 1, of)) + " из " + std::to_string(of);
}

std::string badProbeNumbersText() {
    return "Снятие карты высот не начато: поля и высота подъёма — миллиметры без знака (например 2.5), подъём "
           "больше 0; пустое поле подъёма — подъём щупа. Ничего не отправлено.";
}

std::string clearancePlaceholderText(const std::string& retractMm) {
    return "подъём щупа, " + retractMm + " мм";
}

std::string probedMapSavedText(const std::string& path) {
    return "Карта записана в " + path + " и загружена: файл G-кода и задания следуют ей.";
}

std::string probedMapNotSavedText() {
    return "Карта не записана в файл, но загружена: файл G-кода и задания следуют ей, пока её не забудут "
           "(«Забыть карту высот») или не снимут новую.";
}

std::string probedMapWriteFailedText(const std::string& path, const std::string& why) {
    std::string text = "Карту высот не удалось записать: ";
    text += path;
    text += "\r\n";
    text += why;
    text += "\r\nКарта загружена: файл G-кода и задания следуют ей.";
    return text;
}

std::string probeGridHintText() {
    return "Точки ложатся сеткой на картинку так, как она лежит на заготовке от пикселя, над которым стоит фреза "
           "(ноль заготовки); высоты отсчитываются от нуля заготовки по Z.";
}

std::string unsavedMapName() {
    return "(не записана)";
}

} // namespace zelmar
