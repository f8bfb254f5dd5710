import QtQuick
import Buttons 1.0
import Colors 1.0
import Common 1.0
import Icons 1.0

Rectangle {
    id: chatHeader

    anchors.top: parent.top
    width: parent.width
    height: parent.height * 0.08
    color: "transparent"

    BackButton {
        id: docButton
        objectName: "docButton"
        anchors.left: parent.left
        anchors.leftMargin: 10
        anchors.verticalCenter: parent.verticalCenter
        icon.path: IconVault.document
    }

    IconButton {
        id: searchButton
        objectName: "searchButton"
        width: 40
        height: 40
        anchors.left: docButton.right
        anchors.verticalCenter: parent.verticalCenter
        color: "transparent"
        icon.path: IconVault.search
        icon.color: CustomColors.plainWhite
        icon.sourceSize.height: height / 2
        onClicked: mainWindow.showSearchView()
    }

    ViewButton {
        id: optionsButton
        objectName: "optionsButton"
        anchors.right: parent.right
        anchors.rightMargin: 10
        anchors.verticalCenter: parent.verticalCenter
        targetView: optionsView
    }
}
