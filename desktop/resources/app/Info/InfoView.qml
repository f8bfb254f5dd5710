import QtQuick
import QtQuick.Controls
import QtWebEngine
import Buttons 1.0
import Colors 1.0
import Common 1.0
import Icons 1.0

Rectangle {
    id: infoViewRoot

    readonly property string homeUrl: "qrc:/about.html"

    color: CustomColors.primary

    MainHeader {
        id: infoHeader

        BackButton {
            objectName: "backButton"
            width: 35
            height: 35
            anchors.right: parent.right
            anchors.rightMargin: 10
            anchors.verticalCenter: parent.verticalCenter
        }
    }

    Row {
        id: navBar
        objectName: "navBar"
        anchors.top: infoHeader.bottom
        width: parent.width

        IconButton {
            objectName: "homeButton"
            width: 60
            height: 60
            color: "transparent"
            enabled: webView.url.toString() !== infoViewRoot.homeUrl
            icon.path: IconVault.home
            icon.color: CustomColors.plainWhite
            icon.sourceSize.height: height / 2
            onClicked: webView.url = infoViewRoot.homeUrl
        }

        IconButton {
            objectName: "backPageButton"
            width: 60
            height: 60
            color: "transparent"
            enabled: webView.backAvailable
            icon.path: IconVault.arrowLeft
            icon.color: CustomColors.plainWhite
            icon.sourceSize.height: height / 2
            onClicked: webView.goBack()
        }

        IconButton {
            objectName: "forwardPageButton"
            width: 60
            height: 60
            color: "transparent"
            enabled: webView.forwardAvailable
            icon.path: IconVault.arrowRight
            icon.color: CustomColors.plainWhite
            icon.sourceSize.height: height / 2
            onClicked: webView.goForward()
        }

        IconButton {
            objectName: "reloadButton"
            width: 60
            height: 60
            color: "transparent"
            icon.path: IconVault.reload
            icon.color: CustomColors.plainWhite
            icon.sourceSize.height: height / 2
            onClicked: webView.reload()
        }

        LoadIndicator {
            id: loadIndicator
            objectName: "loadIndicator"
            height: parent.height
            anchors.bottom: parent.bottom
            visible: webView.loading
        }
    }

    WebEngineView {
        id: webView
        objectName: "webView"
        anchors.top: navBar.bottom
        anchors.bottom: parent.bottom
        width: parent.width
        url: infoViewRoot.homeUrl

        // This browser does not always announce a change of its history: it is read again after
        // every load and address change as well.
        property bool backAvailable: false
        property bool forwardAvailable: false

        function readHistory() {
            if (backAvailable !== canGoBack) {
                backAvailable = canGoBack
                console.log("Can go back:", canGoBack)
            }
            if (forwardAvailable !== canGoForward) {
                forwardAvailable = canGoForward
                console.log("Can go forward:", canGoForward)
            }
        }

        onLoadingChanged: {
            console.log("loading: " + loading)
            readHistory()
        }
        onUrlChanged: readHistory()
        onCanGoBackChanged: readHistory()
        onCanGoForwardChanged: readHistory()
    }
}
