import QtQuick
import QtQuick.Controls
import QtWebSockets
import Colors 1.0
import Fonts 1.0
import "./Documents"
import "./OpenedChat"
import "./Search"
import "./Options"
import "./GenAI"
import "./Info"

Rectangle {
    id: mainWindow

    color: "transparent"

    Component.onCompleted: Chat.setSocket(socket)

    // The search asked for again while it is the current view only takes the keys back: every
    // instance builds its own rows from the one search model, hidden ones too.
    function showSearchView() {
        const current = mainStack.currentItem
        if (current && current.objectName === "searchView")
            current.focusSearchField()
        else
            mainStack.push(searchView)
    }

    Item {
        anchors.fill: parent

        Component {
            id: docView
            DocView { objectName: "docView" }
        }

        Component {
            id: openedChatView
            OpenedChatView { objectName: "openedChatView" }
        }

        Component {
            id: searchView
            SearchView { objectName: "searchView" }
        }

        Component {
            id: optionsView
            OptionsView { objectName: "optionsView" }
        }

        Component {
            id: genAIView
            GenAIView { objectName: "genAIView" }
        }

        Component {
            id: modelDownload
            ModelDownload { objectName: "modelDownload" }
        }

        Component {
            id: infoView
            InfoView { }
        }

        StackView {
            id: mainStack
            objectName: "mainStack"
            anchors.fill: parent
            initialItem: docView
        }

        // Said over whichever view is open, below its header, when the server refuses a chosen
        // model; it takes no clicks and goes by itself, as the unlisted-document notice does.
        Rectangle {
            id: modelNotice
            objectName: "modelNotice"

            anchors.top: parent.top
            anchors.topMargin: 58
            anchors.horizontalCenter: parent.horizontalCenter
            width: Math.min(parent.width - 40, 600)
            height: modelNoticeText.implicitHeight + 20
            radius: 12
            color: CustomColors.darkBubbleLeft
            border.color: CustomColors.lightBubbleRight
            visible: false

            Text {
                id: modelNoticeText
                objectName: "modelNoticeText"

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
                id: modelNoticeTimer
                interval: 5000
                onTriggered: modelNotice.visible = false
            }

            Connections {
                target: Chat
                function onModelRefused(name, reason) {
                    modelNoticeText.text = qsTr("%1 could not be loaded: %2").arg(name).arg(reason)
                    modelNotice.visible = true
                    modelNoticeTimer.restart()
                }
            }
        }
    }

    WebSocket {
        id: socket
        objectName: "socket"
        active: true
        url: isDebug ? "ws://127.0.0.1:8765/connection" : QmlEngine.serviceUrl
        onTextMessageReceived: function(message) { Chat.messageReceived(message) }
    }

    Shortcut {
        sequence: "Ctrl+F"
        onActivated: mainWindow.showSearchView()
    }
}
