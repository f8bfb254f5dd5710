import QtQuick
import QtQuick.Controls
import Buttons 1.0
import Colors 1.0
import Common 1.0
import Fonts 1.0
import Icons 1.0
import "./Components"

Rectangle {
    id: docView

    color: CustomColors.primary

    MainHeader {
        id: docHeader
        objectName: "docHeader"

        IconButton {
            id: chatButton
            objectName: "chatButton"
            width: 40
            height: 40
            anchors.left: parent.left
            anchors.leftMargin: 10
            anchors.verticalCenter: parent.verticalCenter
            color: "transparent"
            icon.path: IconVault.chat
            icon.color: CustomColors.plainWhite
            icon.sourceSize.height: height / 2
            onClicked: mainStack.push(openedChatView)
        }

        IconButton {
            id: searchButton
            objectName: "searchButton"
            width: 40
            height: 40
            anchors.left: chatButton.right
            anchors.verticalCenter: parent.verticalCenter
            color: "transparent"
            icon.path: IconVault.search
            icon.color: CustomColors.plainWhite
            icon.sourceSize.height: height / 2
            onClicked: mainWindow.showSearchView()
        }

        OptionsButton {
            id: optionsButton
            objectName: "optionsButton"
            anchors.right: parent.right
            anchors.rightMargin: 10
            anchors.verticalCenter: parent.verticalCenter
        }
    }

    Item {
        id: docArea

        anchors.top: docHeader.bottom
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: parent.bottom

        Text {
            id: emptyListTitle
            objectName: "emptyListTitle"
            anchors.centerIn: parent
            text: qsTr("Drop documents here")
            color: CustomColors.plainWhite
            font.pixelSize: 16
            font.family: Poppins.semiBold
            font.bold: true
            opacity: 0.75
        }

        LoadPane {
            id: loadingPane
            objectName: "loadingPane"
            anchors.fill: parent
            visible: false
        }

        ListView {
            id: docListView
            objectName: "docListView"
            anchors.fill: parent
            spacing: 18
            clip: true
            model: DocsProxy
            delegate: DocDelegate {
                width: docListView.width
                height: 65
            }

            // The proxy's own count never announces itself; the view's does.
            onCountChanged: emptyListTitle.visible = DocsProxy.count === 0
            Component.onCompleted: emptyListTitle.visible = DocsProxy.count === 0
        }

        DropArea {
            id: dropArea
            objectName: "dropArea"
            anchors.fill: parent

            // Which files are PDFs, and which are new, is the document list's business.
            onDropped: function(drop) {
                if (!drop.hasUrls || drop.urls.length === 0) {
                    console.log("No URLs found in the dropped data.")
                    return
                }
                const paths = []
                for (let i = 0; i < drop.urls.length; ++i)
                    paths.push(drop.urls[i].toString())
                drop.accept(Qt.CopyAction)
                Docs.addDataList(paths)
            }

            Rectangle {
                objectName: "dragOverlay"
                anchors.fill: parent
                color: Qt.rgba(1, 0, 0, 0.5)
                visible: dropArea.containsDrag
            }
        }

        Rectangle {
            id: progressContainer
            objectName: "progressContainer"
            anchors.fill: parent
            color: CustomColors.primary
            visible: false

            ProgressBar {
                id: progressBar
                objectName: "progressBar"
                anchors.centerIn: parent
                width: parent.width * 0.7
                from: 0
                to: 100
                value: Docs.progress
            }
        }
    }

    // Said over the bottom of the list when a dropped document is not added; it takes no
    // clicks and goes by itself. Several in a row are said one after the other in one text.
    Rectangle {
        id: passedOverNotice
        objectName: "passedOverNotice"

        anchors.bottom: docArea.bottom
        anchors.bottomMargin: 16
        anchors.horizontalCenter: docArea.horizontalCenter
        width: docArea.width * 0.8
        height: passedOverNoticeText.implicitHeight + 20
        radius: 12
        color: CustomColors.darkBubbleLeft
        border.color: CustomColors.lightBubbleRight
        visible: false

        Text {
            id: passedOverNoticeText
            objectName: "passedOverNoticeText"

            anchors.fill: parent
            anchors.margins: 10
            wrapMode: Text.Wrap
            textFormat: Text.PlainText
            color: CustomColors.plainWhite
            font.pixelSize: 12
            font.family: Poppins.medium
            verticalAlignment: Text.AlignVCenter
        }

        Timer {
            id: passedOverNoticeTimer
            interval: 5000
            onTriggered: {
                passedOverNotice.visible = false
                passedOverNoticeText.text = ""
            }
        }

        Connections {
            target: Docs
            function onDocPassedOver(fileName, reason) {
                const line = qsTr("%1 was not added: %2.").arg(fileName).arg(reason)
                passedOverNoticeText.text = passedOverNotice.visible
                        ? passedOverNoticeText.text + "\n" + line : line
                passedOverNotice.visible = true
                passedOverNoticeTimer.restart()
            }
        }
    }

    // An ingestion run opens with 0 and ends at 100 or more; no drop is taken in between.
    Connections {
        target: Docs
        function onProgressChanged() {
            if (Docs.progress === 0) {
                docListView.visible = false
                dropArea.enabled = false
                progressContainer.visible = true
            } else if (Docs.progress >= 100) {
                docListView.visible = true
                dropArea.enabled = true
                progressContainer.visible = false
            }
        }
    }

    Connections {
        target: Chat
        function onDelDocTriggered() { loadingPane.visible = true }
        function onDocDeletedFromServer() { loadingPane.visible = false }
    }
}
