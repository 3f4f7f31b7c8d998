VERSION 5.00
Object = "{742E88D2-DC33-4929-B200-74B7B42CA37E}#1.0#0"; "VUVedaZir.ocx"
Begin VB.Form frmMain
   Caption         =   "Sample viewer"
   ClientHeight    =   3195
   ClientWidth     =   4680
   Begin VUVedaZir.Canvas Canvas1
      Height          =   2655
      Left            =   120
      Top             =   120
      Width           =   4455
   End
End
Attribute VB_Name = "frmMain"

Private Sub Form_Load()
    Canvas1.PenColor = vbRed
    Canvas1.fillcolor = vbYellow
    Canvas1.ActiveFillColor = vbBlue
    Canvas1.TextColor = vbBlack
    Dim d As REDidIzo.Drawing
    Set d = New redidizo.Drawing
    d.WMFSaveSize = 1024
End Sub
