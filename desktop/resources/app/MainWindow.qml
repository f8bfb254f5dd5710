import QtQuick
import QtQuick.Controls
import QtWebSockets
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
