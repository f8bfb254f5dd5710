import QtQuick
import QtQuick.Controls

ApplicationWindow {
    id: appWindow

    visible: true
    title: qsTr("Quorvane")
    flags: Qt.Window
    width: 336
    height: 725

    Loader {
        id: mainLoader

        function reload() {
            source = ""
            QmlEngine.clearCache()
            source = "./MainWindow.qml"
        }

        anchors.fill: parent
        source: "./MainWindow.qml"
    }

    Connections {
        target: QmlEngine
        function onReloadUI() { mainLoader.reload() }
    }
}
