VERSION 5.00
Object = "{742E88D2-DC33-4929-B200-74B7B42CA37E}#1.0#0"; "VUVedaZir.ocx"
Begin VB.Form frmAlpha
   Caption         =   "Alpha"
   Begin VUVedaZir.Canvas Canvas1
      Height          =   2655
      Width           =   4455
   End
End
Attribute VB_Name = "frmAlpha"

Private Sub Form_Load()
    Canvas1.PenColor = vbRed
    Canvas1.BkColorEx = vbWhite
    Dim d As New REDidIzo.Drawing
    d.WMFSaveSize = 512
End Sub
