pragma Singleton
import QtQuick

// Addresses are resolved here, so they stay valid wherever a view hands them to an Image.
QtObject {
    readonly property string svgPath: "./../Icons/media/svg/"
    readonly property string qrcSvgPath: "qrc:app/component_library/Icons/media/svg/"

    function svg(name) { return Qt.resolvedUrl(svgPath + name + ".svg").toString() }

    readonly property string android: svg("android")
    readonly property string apple: svg("apple")
    readonly property string arrowLeft: svg("arrowLeft")
    readonly property string arrowRight: svg("arrowRight")
    readonly property string send: svg("send")
    readonly property string options: svg("options")
    readonly property string search: svg("search")
    readonly property string burger: svg("burger")
    readonly property string chat: svg("chat")
    readonly property string document: svg("document")
    readonly property string genAI: svg("genAI")
    readonly property string back: svg("back")
    readonly property string remove: svg("remove")

    readonly property string mark: qrcSvgPath + "mark.svg"
    readonly property string tick: qrcSvgPath + "tick.svg"
    readonly property string repeat: qrcSvgPath + "repeat.svg"
    readonly property string info: qrcSvgPath + "info.svg"
    readonly property string home: qrcSvgPath + "home.svg"
    readonly property string reload: qrcSvgPath + "reload.svg"
    readonly property string folder: qrcSvgPath + "folder.svg"
    readonly property string download: qrcSvgPath + "download.svg"
    readonly property string more: qrcSvgPath + "more.svg"
    readonly property string play: qrcSvgPath + "play.svg"
    readonly property string pause: qrcSvgPath + "pause.svg"
    readonly property string trash: qrcSvgPath + "trash.svg"
    readonly property string clock: qrcSvgPath + "clock.svg"
}
