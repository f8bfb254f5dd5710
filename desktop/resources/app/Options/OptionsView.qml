import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Buttons 1.0
import Colors 1.0
import Common 1.0
import Icons 1.0

Rectangle {
    id: optionsViewRoot

    color: CustomColors.primary

    MainHeader {
        id: optionsHeader

        BackButton {
            objectName: "backButton"
            width: 35
            height: 35
            anchors.right: parent.right
            anchors.rightMargin: 10
            anchors.verticalCenter: parent.verticalCenter
        }
    }

    ColumnLayout {
        anchors.centerIn: parent

        IconButton {
            id: infoButton
            objectName: "infoButton"
            Layout.alignment: Qt.AlignHCenter
            Layout.preferredWidth: 45
            Layout.preferredHeight: 45
            color: "transparent"
            icon.path: IconVault.info
            icon.color: CustomColors.plainWhite
            icon.sourceSize.height: height / 2
            ToolTip.visible: mouseArea.containsMouse
            ToolTip.text: "About"
            onClicked: mainStack.push(infoView)
        }

        IconButton {
            id: genAIButton
            objectName: "genAIButton"
            Layout.alignment: Qt.AlignHCenter
            Layout.preferredWidth: 50
            Layout.preferredHeight: 50
            color: "transparent"
            icon.path: IconVault.genAI
            icon.color: CustomColors.plainWhite
            icon.sourceSize.height: height / 2
            ToolTip.visible: mouseArea.containsMouse
            ToolTip.text: "Language Model"
            onClicked: mainStack.push(genAIView)
        }
    }
}
