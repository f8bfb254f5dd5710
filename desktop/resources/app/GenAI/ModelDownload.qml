import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Buttons 1.0
import Colors 1.0
import Fonts 1.0
import "./Components"

Rectangle {
    id: modelDownloadRoot

    color: CustomColors.primary

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 20
        spacing: 20

        Text {
            Layout.alignment: Qt.AlignHCenter
            text: "Available Models"
            color: CustomColors.plainWhite
            font.family: Poppins.semiBold
            font.bold: true
            font.pixelSize: 18
        }

        ListView {
            id: modelListView
            objectName: "modelListView"
            Layout.fillWidth: true
            Layout.fillHeight: true
            spacing: 16
            clip: true
            model: Chat.modelDownloader.modelList
            delegate: ModelDelegate {
                width: ListView.view.width
                deletePopup: confirmDeletePopup
            }
        }

        TextButton {
            objectName: "closeButton"
            Layout.alignment: Qt.AlignHCenter
            Layout.preferredWidth: 80
            buttonLabel.text: "Close"
            onClicked: mainStack.pop()
        }
    }

    ConfirmDeletePopup {
        id: confirmDeletePopup
        objectName: "confirmDeletePopup"
    }
}
